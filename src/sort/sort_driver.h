// The sort: a sorted copy of an MDF 4 file, one data group per channel group.
#pragma once

// Writes a sorted copy of the file named source into a new file named destination (an existing
// file of that name is replaced). The copy carries the header's start time and comment, the file
// history with a "Sorted" entry last, and for every channel group a data group of its own (record
// ID size 0) with the group's name, comment, cycle count, channels (names, comments, units, linear
// conversions) and records. Progress lines go to standard output, a warning about records that
// could not be read to standard error.
//
// The source is opened for reading and writing with the writer's lock but never modified; a
// destination that names the source therefore cannot be created. Returns true when every group
// was copied and the destination's header was written; false on any failure, the destination
// then holding what was copied so far (or not created at all when the source cannot be opened).
// Throws nothing.
bool SortFile(const char16_t* source, const char16_t* destination);
