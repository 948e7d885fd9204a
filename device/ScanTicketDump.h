// The values of a filled scan ticket as the ticket dump (log/Dumps.h) shows them.
// Any thread (the scan thread fills tickets).
#ifndef CAVIX_DEVICE_SCANTICKETDUMP_H
#define CAVIX_DEVICE_SCANTICKETDUMP_H

#include "log/Dumps.h"
#include "service/WscnService.h"

ScanTicketDumpFields ScanTicketDumpFieldsOf(const wscn__ScanTicketType& ticket);

#endif
