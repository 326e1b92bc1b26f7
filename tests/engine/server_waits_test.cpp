// The worker's waits on the server as the window sees them: given up only
// while the worker waits, and a given-up worker never goes on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/server_waits.h"

TEST(EngineServerWaits, GivenUpOnlyWhileWaiting) {
  CServerWaits waits;
  EXPECT_FALSE(waits.GiveUp());  // working: it ends by itself
  {
    CServerWait wait(&waits);
  }
  EXPECT_FALSE(waits.GiveUp());  // a wait that is over changes nothing
  EXPECT_FALSE(waits.GivenUp());
  { CServerWait none(nullptr); }  // gates nothing
}

TEST(EngineServerWaits, AGivenUpWorkerStopsWhereItsWaitEnds) {
  // Shared as the window and the worker share it: the worker outlives the
  // test's scope.
  auto waits = std::make_shared<CServerWaits>();
  auto inWait = std::make_shared<std::atomic<bool>>(false);
  auto serverAnswers = std::make_shared<std::atomic<bool>>(false);
  auto wentOn = std::make_shared<std::atomic<bool>>(false);
  std::thread worker([=] {
    {
      CServerWait wait(waits.get());
      inWait->store(true);
      inWait->notify_all();
      serverAnswers->wait(false);
    }
    wentOn->store(true);
  });
  inWait->wait(false);
  EXPECT_TRUE(waits->GiveUp());
  EXPECT_TRUE(waits->GiveUp());  // asked again: still given up
  EXPECT_TRUE(waits->GivenUp());
  serverAnswers->store(true);
  serverAnswers->notify_all();
  // The worker leaves its wait and stays there. Nothing would tell when it
  // had gone on, so its flag is read after it had every chance to.
  for (int i = 0; i < 20 && !wentOn->load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(wentOn->load());
  worker.detach();
}
