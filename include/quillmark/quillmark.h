/* Quillmark: writes ASAM MDF 4 measurement files and makes sorted copies of them.
 *
 * The C interface of the library. It compiles as C99 and as C++. All functions run on the
 * caller's thread; calls on one handle must not overlap, handles on different files are
 * independent. No function throws or aborts: failures are reported through the result and,
 * where there is a handle, through its errorCode and errorMessage.
 */
#ifndef QUILLMARK_QUILLMARK_H
#define QUILLMARK_QUILLMARK_H

#include <stdint.h>

#include "quillmark/version.h" /* QUILLMARK_VERSION_MAJOR, _MINOR, _PATCH, _STRING */

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

#if defined(QM_STATIC)
#  define QM_API
#elif defined(_WIN32)
#  if defined(QM_BUILDING_LIBRARY)
#    define QM_API __declspec(dllexport)
#  else
#    define QM_API __declspec(dllimport)
#  endif
#else
#  define QM_API __attribute__((visibility("default")))
#endif

/* 16-bit text unit of error messages (UTF-16). On Windows the message is a BSTR. */
#if defined(_WIN32)
typedef wchar_t QM_CHAR16;
#elif defined(__cplusplus)
typedef char16_t QM_CHAR16;
#else
typedef uint16_t QM_CHAR16;
#endif

/* Error codes recorded in MDF4Handle.errorCode (0 = no error). Messages are fixed English
 * texts; the ones with an argument show the group name or limit identifier. */
#define MDF4_ERR_OPEN              (-8000) /* "Error opening MDF file" */
#define MDF4_ERR_NO_DATA_GROUP     (-8001) /* "Error opening MDF file - File contains no data group" */
#define MDF4_ERR_CREATE            (-8002) /* "Error creating MDF file" (also: a header or history
                                              comment longer than 1023 UTF-16 units; no file is
                                              left behind) */
#define MDF4_ERR_INVALID_ARGUMENT  (-8003) /* "Invalid argument": a null pointer, a negative count,
                                              or a call on a handle whose create failed or that
                                              MDF4_Close has closed */
#define MDF4_ERR_GROUP             (-8004) /* "Group already exists" / "Group '<name>' not found" */
#define MDF4_ERR_NOT_NEWEST_GROUP  (-8005) /* "Channels can only be added to the newest group" */
#define MDF4_ERR_CANNOT_APPEND     (-8006) /* "Data cannot be appended to this file": the reopened
                                              file's data group has a record ID size other than 2,
                                              or its data has a layout this library cannot
                                              continue; nothing is written and no count changes */
#define MDF4_ERR_WRITE             (-8007) /* "Error writing MDF file": the operating system refused
                                              a write or a size change (a full disk, a quota, a
                                              file size limit). The failed call is not in the
                                              file, which stays as the last completed call left
                                              it; MDF4_Close records it too (see there) */
#define MDF4_ERR_OUT_OF_MEMORY     (-8008) /* "Out of memory" */
#define MDF4_ERR_TOO_MANY_GROUPS   (-8009) /* "Too many channel groups": record IDs are 16 bits */
#define MDF4_ERR_LIMIT             (-8010) /* "limit '<id>' not found" */
#define MDF4_ERR_RECORDS_EXIST     (-8011) /* "Channels cannot be added to a group that has data":
                                              MDF4_AddChannel for a group that already has records;
                                              they were written with the group's present record
                                              size, so its channels are fixed from then on */
#define MDF4_ERR_SYNC_POLICY       (-8012) /* "Unknown QUILLMARK_SYNC value": MDF4_Create reads the
                                              environment variable QUILLMARK_SYNC (off, close,
                                              interval=MS, always; see the README) */

typedef struct MDF4FileContext MDF4FileContext; /* opaque */

/* Owned by the host. errorMessage is allocated by the library and released by the host with
 * MDF4_FreeString (on Windows also SysFreeString); the library never frees a message, and a
 * new error overwrites the pointer without freeing the old one.
 *
 * Errors are sticky: once errorCode is not 0, every function that takes the handle and returns
 * bool returns false, also when it did its work (a declaration made, samples appended), until
 * MDF4_Create starts over. The library never clears errorCode otherwise; a host that handled
 * an error and wants to continue clears it itself: MDF4_FreeString(h.errorMessage), then
 * h.errorMessage = NULL and h.errorCode = 0. So a false result means "errorCode is not 0";
 * check errorCode to learn whether the call itself failed.
 *
 * Results: functions that take the handle and return bool return true exactly when errorCode
 * is 0 after the call.
 * A declaration or a data call whose write fails returns false with MDF4_ERR_WRITE and leaves
 * the file as the last completed call left it: nothing of the failed call is linked or counted.
 *
 * Closed handles: MDF4_Close sets file to NULL. Every later call with the handle fails with
 * MDF4_ERR_INVALID_ARGUMENT (recorded unless an earlier error is still recorded, see above),
 * the LTT queries return NULL, and a second MDF4_Close does nothing. MDF4_Create may reuse the
 * handle; it overwrites errorMessage without freeing it, so free that first. */
typedef struct MDF4Handle {
  MDF4FileContext* file; /* NULL before MDF4_Create and after MDF4_Close */
  int32_t errorCode;
  QM_CHAR16* errorMessage; /* zero-terminated UTF-16; a 4-byte byte count precedes it */
} MDF4Handle;

/* Six texts for the header comment of a new file (none may be null). */
typedef struct MDF4HeaderInfo {
  const char* author;
  const char* department;
  const char* project;
  const char* subject;
  const char* timeSource;
  const char* comment;
} MDF4HeaderInfo;

/* Creates fileName, or reopens it when it exists (then info is not used and new data is
 * appended to the groups of its last data group). *startTime: FILETIME (100 ns ticks since
 * 1601-01-01 UTC); 0 or less means now. Returns the start time recorded in *startTime.
 * Clears errorCode and errorMessage first (without freeing the old message).
 * True: the file is open for the calls below. False: errorCode says why (MDF4_ERR_OPEN,
 * MDF4_ERR_NO_DATA_GROUP, MDF4_ERR_CREATE, MDF4_ERR_INVALID_ARGUMENT, MDF4_ERR_OUT_OF_MEMORY,
 * MDF4_ERR_SYNC_POLICY); no new file is left behind. Call MDF4_Close after a false result
 * too: it releases what the create allocated.
 * Durability: the environment variable QUILLMARK_SYNC (off, close, interval=MS, always),
 * read here, chooses when the file is synced to the disk; see the README.
 * Text: on Linux narrow strings are UTF-8 (a byte that does not begin a valid sequence
 * stands for the character of the same value); on Windows they follow the C locale.
 * Group names are stored as the UTF-8 of the characters their string stands for, so that any
 * reader can read them; after a reopen the same string finds the group on either system.
 * Strings that stand for the same characters name the same group (on Linux "Temp\xB0C" and
 * "Temp\xC2\xB0C"). In files that stored a group name's bytes unconverted, a name that is not
 * UTF-8 is found by the same bytes. */
QM_API bool MDF4_Create(const char* fileName, MDF4Handle* h, const MDF4HeaderInfo* info,
                        int64_t* startTime);
/* Declares a group with the next record ID (1, 2, 3, ...), optionally with a master channel
 * "Time" in "s". The declaration is in the file when the call returns. True: the group is
 * declared. False: MDF4_ERR_GROUP (the name exists), MDF4_ERR_TOO_MANY_GROUPS or
 * MDF4_ERR_INVALID_ARGUMENT, with nothing changed; MDF4_ERR_WRITE, with the file as the last
 * completed call left it; MDF4_ERR_OUT_OF_MEMORY; or an earlier error was still recorded.
 * On a reopened file: returns true and changes nothing (unless an error is recorded). */
QM_API bool MDF4_AddChannelGroup(MDF4Handle* h, const char* groupName, bool withTimeChannel);
/* Adds a double channel (physical = offset + factor x stored) to the newest group, before the
 * group's first record. unit may be null. True: the channel is declared (in the file when the
 * call returns). False: MDF4_ERR_GROUP (no such group), MDF4_ERR_NOT_NEWEST_GROUP,
 * MDF4_ERR_RECORDS_EXIST (samples of the group were already written) or
 * MDF4_ERR_INVALID_ARGUMENT, with nothing changed; MDF4_ERR_WRITE, with the file as the last
 * completed call left it; MDF4_ERR_OUT_OF_MEMORY; or an earlier error was still recorded.
 * On a reopened file: returns true and changes nothing (unless an error is recorded). */
QM_API bool MDF4_AddChannel(MDF4Handle* h, const char* groupName, const char* channelName,
                            const char* unit, double factor, double offset);
/* Appends count samples; values holds count x (channels of the group) doubles, sample after
 * sample. The file is complete on disk when the call returns. Count 0 is valid.
 * True: every sample is in the file and counted. False: MDF4_ERR_GROUP (no such group),
 * MDF4_ERR_CANNOT_APPEND or MDF4_ERR_INVALID_ARGUMENT, with nothing written; MDF4_ERR_WRITE,
 * with none of the call's samples in the file (it stays as the last completed call left it);
 * MDF4_ERR_OUT_OF_MEMORY; or an earlier error was still recorded (then the samples were
 * appended all the same). */
QM_API bool MDF4_AddChannelData1D(MDF4Handle* h, const char* groupName, const double* values,
                                  uint32_t count);
/* Appends count samples given as count row pointers, each to the group's channel values.
 * A negative count is refused. Works for groups of any width. Results as for
 * MDF4_AddChannelData1D. */
QM_API bool MDF4_AddChannelData2D(MDF4Handle* h, const char* groupName, double** rows,
                                  int32_t count);
/* The name of the first group (in name order) that begins with "[limitId]", or null (also on a
 * closed handle or one whose create failed; no error is recorded). The name is the group's name
 * as the library keeps it: the host's string, or on Linux its UTF-8 form when the string held
 * bytes that are not UTF-8 (see MDF4_Create); either finds the group. The pointer stays valid
 * until MDF4_Close; do not free it. */
QM_API const char* MDF4_LTT_GetChannelGroupName(MDF4Handle* h, int32_t limitId);
/* MDF4_AddChannelData1D for the group of limitId, with its results; MDF4_ERR_LIMIT when there
 * is none. */
QM_API bool MDF4_LTT_AddChannelData(MDF4Handle* h, int32_t limitId, const double* values,
                                    uint32_t count);
/* The limit identifiers of all groups named "[n]...", in name order; *count receives their
 * number. Release the array with Free1DIntArray. Null (with *count 0) when there are none and
 * on a closed handle; no error is recorded. Names whose number cannot be read (for example
 * "[abc]" or out of 32-bit range) are skipped. */
QM_API int32_t* MDF4_LTT_GetLimitIDs(MDF4Handle* h, int32_t* count);
/* Writes the header a last time, closes the file, releases the context and sets h->file to
 * NULL. Every completed call is already in the file. Returns nothing: when its final writes
 * fail, it records MDF4_ERR_WRITE in errorCode, so a host reads errorCode after MDF4_Close
 * (clearing it before the close tells this failure apart from earlier ones); the file then
 * still holds what the completed calls wrote. errorMessage stays the host's to free. A
 * second MDF4_Close, or one on a handle whose file is NULL, does nothing. */
QM_API void MDF4_Close(MDF4Handle* h);
/* The current UTC time as FILETIME, millisecond resolution. */
QM_API uint64_t GetCurrentTimeStamp(void);
/* values[i] = (now - count x step - offset + i x step) / 1000, products modulo 2^32. */
QM_API void GetTimeChannelValues(double* values, uint32_t count, uint32_t step, uint64_t offset);
QM_API void Free1DIntArray(int32_t* array);
/* Writes a sorted copy of source to destination: one data group per channel group. Prints
 * progress lines on standard output. Returns false on any failure; the source is only read
 * (it may lie on read-only media, but no writer may hold it) and a destination naming the
 * source fails. Variable-length signal data groups are not copied (a note on standard error
 * says so); the records of every other group are. */
QM_API bool MDF4_Sort(const char* source, const char* destination);
/* Releases an errorMessage. Null is ignored. */
QM_API void MDF4_FreeString(QM_CHAR16* message);

#ifdef __cplusplus
}
#endif

#endif /* QUILLMARK_QUILLMARK_H */
