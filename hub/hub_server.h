/* hub_server.h -- the HTTPS service: endpoints, connection guard, log. */
#ifndef HUB_SERVER_H
#define HUB_SERVER_H

#include "hub_config.h"

/* Serves until SIGTERM or SIGINT, then finishes the requests in flight.
 * The process exit code: 0 after a clean stop, 1 when it could not start
 * (one sentence on standard error). */
int hub_serve(const HubConfig &config);

#endif
