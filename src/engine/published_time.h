// Published time stamps ("YYYYMMDDhhmm" in Korea Standard Time, possibly
// shortened) turned into file times, so that a downloaded file carries the
// time its update list publishes and is found current by the next run.
#pragma once
#include <cstdint>
#include <string>

// The UTC file time (100 ns since 1601) of a published stamp read in Korea
// Standard Time (UTC+9, no daylight saving). Digits the stamp leaves out
// read as month 01, day 01, hour 00, minute 00; digits past the twelfth are
// ignored. False for an empty stamp, a non-digit, or a date that does not
// exist.
bool PublishedStampToFileTime(const std::wstring& stamp, std::uint64_t* fileTime);

// Sets the last-write (and last-access) time of the file at path to the
// published stamp. False, with the file unchanged, when the stamp is not one
// or the times cannot be set.
bool ApplyPublishedTime(const std::wstring& path, const std::wstring& stamp);
