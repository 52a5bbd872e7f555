// The connection of one HTTP GET, as the download sessions use it: a
// connection context (high priority, connect-failure and receive-idle
// events) with an HTTP client layer on top, opened on a URL with the GET
// sent; and its release, which never destroys the context inside one of its
// own callbacks but hands it to the garbage collector.
//
// Use under the library lock.
#pragma once

#include <stdint.h>

#include "opn/core/ovSmartPtr.h"

class nwIHttpClientExEventListener;
class ovIHttpClientExLayer;

// Keep the context's default connect time-out.
const uint32_t kHttpGetDefaultConnectTimeout = 0;

// Makes the context in `connection`, registers `listener` with `key` on its
// HTTP layer, opens `url` and sends the GET. `receiveTimeoutSec` is the
// receive-idle limit. False, with `connection` released, when any step
// failed.
bool HttpGetOpen(ovSmartPtr& connection, const char* url, nwIHttpClientExEventListener* listener,
                 uint32_t key, uint32_t connectTimeoutSec, uint32_t receiveTimeoutSec);

// The HTTP layer on top of `connection`; null for an empty one.
ovIHttpClientExLayer* HttpGetLayer(const ovSmartPtr& connection);

// Detaches the listener, closes the context, hands it to the garbage
// collector and empties `connection`. Nothing for an empty one.
void HttpGetRelease(ovSmartPtr& connection);
