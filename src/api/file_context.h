// MDF4FileContext: the library's file object behind a handle, with its group registry.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <memory>

#include "file/mdf4_file.h"
#include "stream/data_stream.h"

// What the data functions need to know about a registered channel group: only what stays
// true for as long as the file is open (the group's CG object does not: it is released when
// the next group is added, and the newest group is found through the data group).
struct GroupEntry {
  std::u16string name;         // the group name as UTF-16
  uint16_t recordId = 0;       // written in front of every record
  uint64_t counterKey = 0;     // cg_record_id: key of the group's cycle counter
  uint64_t recordSize = 0;     // bytes of one record after the ID
};

// When the file is made durable (synced), chosen by the environment variable QUILLMARK_SYNC
// when the file is created or reopened.
enum class SyncPolicy {
  kOff,       // never: what reaches the disk is up to the system (the default)
  kClose,     // when the file is closed
  kInterval,  // in a data call, when the last sync is at least the interval ago; and at close
  kAlways,    // in every data call, before it returns; and at close
};

// The registry orders names byte-wise, then by length: std::string's own order.
using GroupRegistry = std::map<std::string, GroupEntry>;

// The library's file object behind a handle. It holds the open file rather than being one:
// what a handle adds (the registry, the data group being written, the kept stream, the sync
// policy) sits beside the file, and the file's own parts are reached through `file` and
// `file.Direct()`. The file is declared first, so that it is closed last, after the kept
// stream is released.
struct MDF4FileContext {
  MDF4File file;
  M4DGBlock* currentDataGroup = nullptr;
  uint64_t nextRecordId = 1;
  bool reopened = false;
  bool ready = false;  // created or reopened successfully and not closed
  // A call whose writes failed could not be taken back: the file is as an interrupted call
  // leaves it (reopening rolls that back). Nothing more is written through this context.
  bool damaged = false;
  GroupRegistry groups;
  // The appending stream kept between data calls, so that a call costs the bytes it appends
  // and the few writes that make the file consistent. With keepAppender false every call
  // opens and finishes a stream of its own (the reference the tests compare against); the
  // file's bytes are the same either way.
  std::unique_ptr<m4DataStreamEx> appender;
  bool keepAppender = true;
  SyncPolicy sync = SyncPolicy::kOff;
  int64_t syncIntervalTicks = 0;  // kInterval: monotonic ticks between syncs
  int64_t lastSyncTicks = 0;      // kInterval: when the file was last synced
};
