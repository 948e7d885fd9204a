/* The network device discovery library (libzkdisc01.so): finds the addresses of the device
 * that carries a given MAC address. Seven functions with C linkage; each returns a status,
 * 0 meaning success.
 *
 * A discovery session (SDI_startup, SDI_discoverMAC, the queries, SDI_shutdown) belongs to
 * the thread that started it: each thread has at most one session of its own.
 *
 * Where the addresses come from: the hosts that answer a WS-Discovery Probe and the neighbour
 * table as it stands (DiscoverySettings: both by default; CAVIX_DISCOVERY chooses), matched by
 * MAC address in the neighbour table. The neighbour table is the kernel's IPv4 and IPv6 tables,
 * or, when the environment variable CAVIX_NEIGHBOUR_TABLE names a file, only that file (one
 * device a line: a MAC address, colon- or hyphen-separated, any letter case, followed by its
 * addresses separated by blanks, IPv4 before IPv6; '#' starts a comment). No packet is sent to
 * fill the table, and no address range is swept. */
#ifndef CAVIX_TRANSPORT_ZKDISC01_H
#define CAVIX_TRANSPORT_ZKDISC01_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Status values. */
#define SDI_OK 0
#define SDI_ERR_NOT_STARTED 1      /* no session: SDI_startup was not called */
#define SDI_ERR_ALREADY_STARTED 2  /* SDI_startup while a session is open */
#define SDI_ERR_BAD_ARGUMENT 3     /* a null pointer, an unreadable MAC address, ... */
#define SDI_ERR_NO_DEVICE 4        /* the device index is not one of the last search */
#define SDI_ERR_BUFFER_TOO_SMALL 5 /* the answer and its NUL do not fit the buffer */
#define SDI_ERR_SOURCE 6           /* the neighbour table or the fixture could not be read */

/* Starts a discovery session. flag: 1. */
int32_t SDI_startup(uint8_t flag);

/* Sets the library's own logging: 0 off, 1 errors, 2 and above informational lines; the
 * lines go to the standard error. */
int32_t SDI_setLoggingLevel(int32_t level);

/* Searches for the devices that carry mac (colon- or hyphen-separated, any letter case). The
 * three further arguments are reserved (pass 0). */
int32_t SDI_discoverMAC(const char* mac, uint32_t reserved1, uint32_t reserved2,
                        uint32_t reserved3);

/* The number of devices the last search found. */
int32_t SDI_getNumDiscoveredDevices(uint32_t* count);

/* The IPv4 address of device `index` of the last search as NUL-terminated text in buffer
 * (size bytes), or "0.0.0.0" when it has none. *addressCount receives the number of IPv4
 * addresses the device has. An answer that does not fit is refused with
 * SDI_ERR_BUFFER_TOO_SMALL and leaves the buffer untouched. */
int32_t SDI_getIPAddress(uint32_t index, char* buffer, uint32_t size, uint32_t* addressCount);

/* The IPv6 addresses of device `index`. *length receives the bytes the list needs, its
 * terminating NUL included (0 when the device has no IPv6 address), and *count the number of
 * addresses. With a null buffer or a size of 0 only these two are reported; otherwise the
 * list is written as one NUL-terminated text, addresses separated by single spaces, or
 * refused with SDI_ERR_BUFFER_TOO_SMALL when it does not fit. */
int32_t SDI_getIPv6Addresses(uint32_t index, char* buffer, uint32_t size, uint32_t* count,
                             uint32_t* length);

/* Ends the discovery session and forgets the last search. flag: 1. */
int32_t SDI_shutdown(uint8_t flag);

#ifdef __cplusplus
}
#endif

#endif
