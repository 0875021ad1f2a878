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
                                              or a call on a handle whose create failed or whose
                                              file is closed */
#define MDF4_ERR_GROUP             (-8004) /* "Group already exists" / "Group '<name>' not found" */
#define MDF4_ERR_NOT_NEWEST_GROUP  (-8005) /* "Channels can only be added to the newest group" */
#define MDF4_ERR_CANNOT_APPEND     (-8006) /* "Data cannot be appended to this file": the reopened
                                              file's data group has a record ID size other than 2,
                                              or its data has a layout this library cannot
                                              continue; nothing is written and no count changes */
#define MDF4_ERR_WRITE             (-8007) /* "Error writing MDF file": the operating system refused
                                              a write; the file keeps the samples of earlier calls */
#define MDF4_ERR_OUT_OF_MEMORY     (-8008) /* "Out of memory" */
#define MDF4_ERR_TOO_MANY_GROUPS   (-8009) /* "Too many channel groups": record IDs are 16 bits */
#define MDF4_ERR_LIMIT             (-8010) /* "limit '<id>' not found" */

typedef struct MDF4FileContext MDF4FileContext; /* opaque */

/* Owned by the host. errorMessage is allocated by the library and released by the host with
 * MDF4_FreeString (on Windows also SysFreeString); the library never frees a message, and a
 * new error overwrites the pointer without freeing the old one. Errors are sticky: only
 * MDF4_Create clears them. */
typedef struct MDF4Handle {
  MDF4FileContext* file;
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
 * Text: on Linux narrow strings are UTF-8 (a byte that does not begin a valid sequence
 * stands for the character of the same value); on Windows they follow the C locale. */
QM_API bool MDF4_Create(const char* fileName, MDF4Handle* h, const MDF4HeaderInfo* info,
                        int64_t* startTime);
/* Declares a group with the next record ID (1, 2, 3, ...), optionally with a master channel
 * "Time" in "s". On a reopened file: returns true and changes nothing. */
QM_API bool MDF4_AddChannelGroup(MDF4Handle* h, const char* groupName, bool withTimeChannel);
/* Adds a double channel (physical = offset + factor x stored) to the newest group. unit may
 * be null. On a reopened file: returns true and changes nothing. */
QM_API bool MDF4_AddChannel(MDF4Handle* h, const char* groupName, const char* channelName,
                            const char* unit, double factor, double offset);
/* Appends count samples; values holds count x (channels of the group) doubles, sample after
 * sample. The file is complete on disk when the call returns. Count 0 is valid. */
QM_API bool MDF4_AddChannelData1D(MDF4Handle* h, const char* groupName, const double* values,
                                  uint32_t count);
/* Appends count samples given as count row pointers, each to the group's channel values.
 * A negative count is refused. Works for groups of any width. */
QM_API bool MDF4_AddChannelData2D(MDF4Handle* h, const char* groupName, double** rows,
                                  int32_t count);
/* The name of the first group (in name order) that begins with "[limitId]", or null. The
 * pointer stays valid until MDF4_Close; do not free it. */
QM_API const char* MDF4_LTT_GetChannelGroupName(MDF4Handle* h, int32_t limitId);
/* MDF4_AddChannelData1D for the group of limitId; -8010 when there is none. */
QM_API bool MDF4_LTT_AddChannelData(MDF4Handle* h, int32_t limitId, const double* values,
                                    uint32_t count);
/* The limit identifiers of all groups named "[n]...", in name order; *count receives their
 * number. Release the array with Free1DIntArray. Null when there are none. Names whose
 * number cannot be read (for example "[abc]" or out of 32-bit range) are skipped. */
QM_API int32_t* MDF4_LTT_GetLimitIDs(MDF4Handle* h, int32_t* count);
/* Writes the header a last time, closes the file and releases the context. The handle must
 * not be used again except with MDF4_Create. */
QM_API void MDF4_Close(MDF4Handle* h);
/* The current UTC time as FILETIME, millisecond resolution. */
QM_API uint64_t GetCurrentTimeStamp(void);
/* values[i] = (now - count x step - offset + i x step) / 1000, products modulo 2^32. */
QM_API void GetTimeChannelValues(double* values, uint32_t count, uint32_t step, uint64_t offset);
QM_API void Free1DIntArray(int32_t* array);
/* Writes a sorted copy of source to destination: one data group per channel group. Prints
 * progress lines on standard output. Returns false on any failure; the source is never
 * modified (a destination naming the source fails). */
QM_API bool MDF4_Sort(const char* source, const char* destination);
/* Releases an errorMessage. Null is ignored. */
QM_API void MDF4_FreeString(QM_CHAR16* message);

#ifdef __cplusplus
}
#endif

#endif /* QUILLMARK_QUILLMARK_H */
