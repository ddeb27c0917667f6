// Server maintenance commands: delete every route, restore (no-op), clean up and exit.
#include "http/maintenance.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "core/log.h"
#include "core/settings.h"
#include "core/signals.h"
#include "routing/operations.h"
#include "routing/registry.h"

// Every route goes at once: one wait for all their threads and one save, so a
// thousand routes go as fast as one. A save the disk refuses deletes nothing.
void handle_server_init(http_reply_t &reply)
{
    console_printf("init\n");
    if (delete_all_routes() == OPERATION_SAVE_FAILED)
        set_error_reply(reply, g_last_error);
}

void handle_server_restore(http_reply_t &)
{
    console_printf("restore\n");
}

/*
 * The process ends with _exit rather than exit: route threads are still running
 * and exit would run the static destructors of g_routes under their feet. No
 * reply is sent; the client sees its connection closed.
 */
void handle_server_cleanup(http_reply_t &)
{
    remove(g_config_path);
    int ignored = system("systemctl restart obrinaxserver");
    (void)ignored;
    console_printf("cleanup\n");
    exit_after_log(0);
}
