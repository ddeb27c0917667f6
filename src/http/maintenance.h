// Server maintenance commands: delete every route, restore (no-op), clean up and exit.
#pragma once

#include "http/reply.h"

// Deletes every route, newest first; the reply stays 200 with no body.
// HTTP thread; delete_route takes its own locks.
void handle_server_init(http_reply_t &reply);
// Prints "restore" and changes nothing.
void handle_server_restore(http_reply_t &reply);
// Removes g_config_path, runs "systemctl restart obrinaxserver", prints
// "cleanup" and ends the process with status 0. Never returns.
[[noreturn]] void handle_server_cleanup(http_reply_t &reply);
