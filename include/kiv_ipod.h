/**
 * @file
 * libkiv-ipod-2: client library for the iPod accessory daemon.
 *
 * One kiv_ipod_client handle is one connection to the daemon. The library
 * owns no threads and takes no locks: the application polls kiv_ipod_fd()
 * and calls kiv_ipod_read() when it is readable, or uses the blocking
 * _sync forms of the requests. Results arrive through three callbacks.
 *
 * Pointers returned by accessors are borrowed from the handle (or the
 * event) and stay valid until the next reply or event of the same kind
 * supersedes them, the next cache reset, or kiv_ipod_close().
 *
 * This header compiles as C99 and as C++.
 */
#ifndef KIV_IPOD_H
#define KIV_IPOD_H

#include "kiv_ipod_version.h"

/* One header per topic; each is complete on its own. */
#include "kiv_ipod/cache.h"
#include "kiv_ipod/compiler.h"
#include "kiv_ipod/connection.h"
#include "kiv_ipod/events.h"
#include "kiv_ipod/logging.h"
#include "kiv_ipod/requests.h"
#include "kiv_ipod/values.h"

#endif /* KIV_IPOD_H */
