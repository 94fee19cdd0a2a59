#pragma once
// The node and block database of the PST writer, its lowest layer: on-disk structures,
// checksums and encoding (disk.h), the writer (ndb_writer.h), and an independent reader and
// structural checker for tests (ndb_reader.h).

#include "store/pst/ndb/disk.h"
#include "store/pst/ndb/ndb_error.h"
#include "store/pst/ndb/ndb_reader.h"
#include "store/pst/ndb/ndb_writer.h"
