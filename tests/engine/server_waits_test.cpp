// The worker's waits on the server as the window sees them: given up only
// while the worker waits, a read of a body also when it has waited too long,
// and a given-up worker never goes on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "engine/server_waits.h"

using Kind = CServerWaits::Kind;

TEST(EngineServerWaits, GivenUpOnlyWhileWaiting) {
  CServerWaits waits;
  EXPECT_FALSE(waits.GiveUp());  // working: it ends by itself
  {
    CServerWait wait(&waits, Kind::kResponse, 0);
  }
  EXPECT_FALSE(waits.GiveUp());  // a wait that is over changes nothing
  { CServerWait none(nullptr, Kind::kBody, 0); }  // gates nothing
}

TEST(EngineServerWaits, AWaitIsGivenUpForItsLength) {
  struct Row {
    const char* label;
    bool waiting;
    Kind kind;
    std::uint32_t since;
    std::uint32_t now;
    bool givenUp;
    bool responses = false;
  };
  const Row rows[] = {
      {"body, just under the limit", true, Kind::kBody, 1000, 30999, false},
      {"body, at the limit", true, Kind::kBody, 1000, 31000, true},
      {"body, across the tick's wrap", true, Kind::kBody, 0xFFFFF000u, 30000, true},
      {"body, across the wrap, under", true, Kind::kBody, 0xFFFFF000u, 20000, false},
      // A response may wait on the credentials dialog, a person typing:
      // given up only when the window says no such dialog is up.
      {"response, long, dialog up", true, Kind::kResponse, 0, 90000, false},
      {"response, long", true, Kind::kResponse, 0, 90000, true, true},
      {"response, under the limit", true, Kind::kResponse, 1000, 30999, false, true},
      {"no wait", false, Kind::kBody, 0, 90000, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    CServerWaits waits;
    if (row.waiting) waits.Enter(row.kind, row.since);
    Kind kind = Kind::kBody;
    EXPECT_EQ(waits.GiveUpWaitLongerThan(row.now, 30000, row.responses, &kind), row.givenUp);
    if (row.givenUp) EXPECT_EQ(kind, row.kind);
  }
}

TEST(EngineServerWaits, AGivenUpWorkerStopsWhereItsWaitEnds) {
  // Shared as the window and the worker share it: the worker outlives the
  // test's scope.
  auto waits = std::make_shared<CServerWaits>();
  // Promises rather than atomic waits: the C++ library's atomic wait has
  // lost a wake-up under mingw-w64 here.
  auto inWait = std::make_shared<std::promise<void>>();
  auto serverAnswers = std::make_shared<std::promise<void>>();
  auto wentOn = std::make_shared<std::atomic<bool>>(false);
  std::shared_future<void> answered = serverAnswers->get_future().share();
  std::thread worker([=] {
    {
      CServerWait wait(waits.get(), Kind::kBody, 0);
      inWait->set_value();
      answered.wait();
    }
    wentOn->store(true);
  });
  inWait->get_future().wait();
  EXPECT_TRUE(waits->GiveUp());
  EXPECT_TRUE(waits->GiveUp());  // asked again: still given up
  serverAnswers->set_value();
  // The worker leaves its wait and stays there. Nothing would tell when it
  // had gone on, so its flag is read after it had every chance to.
  for (int i = 0; i < 20 && !wentOn->load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(wentOn->load());
  worker.detach();
}
