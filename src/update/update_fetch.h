// Fetching one object from the update server (the upgrade list or one file) on the shared
// internet session, with the header lines, the password prompt and the single redirect the
// upgrade job relies on.
//
// A fetch keeps to limits so that a broken or hostile server cannot hold the job for long or
// fill the memory: the body may not exceed the caller's cap, and a deadline (checked before
// each request and each read) ends it; a single wait for data is bounded by the session's idle
// time-out (30 s by default). A body counts only when it arrived whole.
//
// Thread safety: runs on the calling thread (the job's worker); terminating that worker aborts
// the transfer at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace tulix {

using UpdateClock = std::chrono::steady_clock;

// What a fetch gave.
enum class UpdateFetchResult {
  kOk,         // `body` holds the whole body of a 200 answer
  kFailed,     // network error, refused status or redirect, bad server setting
  kTooLarge,   // the body is longer than the cap
  kOutOfTime,  // the deadline passed
};

// The header lines of every update request, in order. Encoding is refused so that the bytes
// installed are the bytes served.
inline constexpr const char* kUpdateHeaderLines[] = {
    "Accept-Encoding:\r\n",
    "Accept: text/*\r\n",
    // Parenthesised: one line cut in two, not two lines with a comma missing.
    ("User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; VNIE5; Q312461; .NET CLR "
     "1.0.3705; .NET CLR 1.1.4322)\r\n"),
};

// GETs `object` from the update server (UpdateServerSetting). On 401 the session's prompt is
// asked once and the request sent again when the user chose to retry. A 301, 302 or 303 is
// followed once, to an http address only. Any final status other than 200 fails: an error
// page is never taken for a list or a file.
UpdateFetchResult FetchFromUpdateServer(const std::string& object, size_t cap,
                                        UpdateClock::time_point deadline, std::string& body);

}  // namespace tulix
