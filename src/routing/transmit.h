// The transmit thread of a route: the data path.
#pragma once

// Thread entry: reads messages from the active source connection and sends each,
// unchanged, to every writable target connection. arg is the route's element.
void *transmit_thread(void *arg);
