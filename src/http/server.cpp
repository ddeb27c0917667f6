// The HTTP control server thread.
#include "http/server.h"

void *http_server_thread(void *)
{
    return nullptr;
}
