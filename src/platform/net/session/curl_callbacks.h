#pragma once

// The functions libcurl and OpenSSL call back into a transfer, each given the transfer as its
// context.

#include <curl/curl.h>

#include <cstddef>

namespace platform::net_detail {

struct Transfer;

size_t headerCallback(char* data, size_t size, size_t count, void* context);
size_t writeCallback(char* data, size_t size, size_t count, void* context);
// What `writeCallback` does with a piece of the body, outside the guard that turns a failed
// allocation into the transfer's failure.
size_t writeBody(Transfer* transfer, char* data, size_t size, size_t count);
// Takes a piece of the body for the task, once it may receive: all of it, none (the transfer
// fails), or `CURL_WRITEFUNC_PAUSE` (the delegate is behind).
size_t receiveBody(Transfer* transfer, const char* data, size_t length);
size_t readCallback(char* buffer, size_t size, size_t count, void* context);
int seekCallback(void* context, curl_off_t offset, int origin);
// Sends the transfer's body through `readCallback`: of its known length, or in chunks where
// the length is not known.
void sendBodyThroughReads(Transfer& transfer, CURL* easy);
int progressCallback(void* context, curl_off_t, curl_off_t downloaded, curl_off_t,
                     curl_off_t uploaded);

}  // namespace platform::net_detail
