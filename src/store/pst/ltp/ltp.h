#pragma once
// The lists-tables-properties layer of the PST writer ([MS-PST] 2.3): heap-on-node,
// B-tree-on-heap, property contexts and table contexts, each built into the NodeContent that
// the node database stores.

#include "store/pst/ltp/bth.h"
#include "store/pst/ltp/heap.h"
#include "store/pst/ltp/local_nids.h"
#include "store/pst/ltp/ltp_error.h"
#include "store/pst/ltp/prop_value.h"
#include "store/pst/ltp/property_context.h"
#include "store/pst/ltp/table_context.h"
