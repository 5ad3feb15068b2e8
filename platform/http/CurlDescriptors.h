// libcurl opens its descriptors without close-on-exec; a program that execs a child while a
// transfer runs would hand the child its connections and its wake-up pair. These mark them.
#pragma once

#include <curl/curl.h>

namespace platform::http {

// For CURLOPT_OPENSOCKETFUNCTION: every connection is opened close-on-exec.
curl_socket_t openCloseOnExecSocket(void* context, curlsocktype purpose, curl_sockaddr* address);

// A multi handle whose wake-up pair is close-on-exec; null when libcurl cannot make one.
CURLM* newCloseOnExecMulti();

} // namespace platform::http
