#pragma once
// The messaging layer of the PST writer ([MS-PST] 2.4): a new store with its fixed folders,
// folders under its top folder, and messages with recipients and attachments.

#include "store/pst/messaging/message_writer.h"
#include "store/pst/messaging/name_map.h"
#include "store/pst/messaging/node_sink.h"
#include "store/pst/messaging/pst_error.h"
#include "store/pst/messaging/pst_store.h"
#include "store/pst/messaging/templates.h"
