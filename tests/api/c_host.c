/* A C99 host of the shared library: writes, reopens, appends to and sorts a file through the exports only. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quillmark/quillmark.h"

/* Usage: qm_c_host <output directory>
 *
 * Writes there:
 *   c_host.mf4         the unsorted file (two groups, written, reopened and appended to)
 *   c_host_sorted.mf4  its sorted copy
 *   c_host_values.txt  every sample written, one per line in writing order:
 *                      group name, TAB, sample index, then TAB and each value as %.17g
 * Exits with 0 when every check passed; otherwise prints the failed check and exits with 1. */

#define ENGINE "Engine"
#define LIMITS "[7]Limits"
#define ENGINE_WIDTH 3 /* Time, Speed, Torque */
#define LIMITS_WIDTH 2 /* Upper, Lower */
#define MAX_PATH_LENGTH 4096

static FILE* valuesFile;

static void Fail(int line, const char* what) {
  fprintf(stderr, "c_host.c:%d: check failed: %s\n", line, what);
  exit(1);
}

#define CHECK(cond)                       \
  do {                                    \
    if (!(cond)) Fail(__LINE__, #cond);   \
  } while (0)

/* The value of channel c of sample s in a group: exact in binary, so that a reader can compare
 * without tolerance. Group 0 is Engine (channel 0 its time), group 1 the limit group. */
static double SampleValue(int group, int s, int c) {
  if (group == 0 && c == 0) return s * 0.25;
  return group * 1000.0 + s + c * 0.125;
}

/* Fills count samples starting at sample first, back to back, and logs them. */
static void FillSamples(int group, const char* name, int width, int first, int count, double* out) {
  int s, c;
  for (s = 0; s < count; ++s) {
    fprintf(valuesFile, "%s\t%d", name, first + s);
    for (c = 0; c < width; ++c) {
      out[s * width + c] = SampleValue(group, first + s, c);
      fprintf(valuesFile, "\t%.17g", out[s * width + c]);
    }
    fprintf(valuesFile, "\n");
  }
}

/* True when the message equals the ASCII text and its 4-byte prefix states its byte count. */
static int MessageIs(const QM_CHAR16* message, const char* text) {
  size_t i, n = strlen(text);
  uint32_t byteCount;
  if (message == NULL) return 0;
  for (i = 0; i < n; ++i)
    if (message[i] != (QM_CHAR16)(unsigned char)text[i]) return 0;
  if (message[n] != 0) return 0;
  memcpy(&byteCount, (const unsigned char*)message - 4, sizeof byteCount);
  return byteCount == 2 * n;
}

/* Checks the recorded error, then clears it the way a host continues after an error. */
static void ExpectError(MDF4Handle* h, int32_t code, const char* text, int line) {
  if (h->errorCode != code) Fail(line, "error code");
  if (!MessageIs(h->errorMessage, text)) Fail(line, text);
  MDF4_FreeString(h->errorMessage);
  h->errorMessage = NULL;
  h->errorCode = 0;
}

static void Append1D(MDF4Handle* h, int group, const char* name, int width, int first, int count) {
  double values[16 * ENGINE_WIDTH];
  FillSamples(group, name, width, first, count, values);
  CHECK(MDF4_AddChannelData1D(h, name, values, (uint32_t)count));
}

static void Append2D(MDF4Handle* h, int group, const char* name, int width, int first, int count) {
  double values[16 * ENGINE_WIDTH];
  double* rows[16];
  int s;
  FillSamples(group, name, width, first, count, values);
  for (s = 0; s < count; ++s) rows[s] = values + s * width;
  CHECK(MDF4_AddChannelData2D(h, name, rows, count));
}

static void AppendLimit(MDF4Handle* h, int first, int count) {
  double values[16 * LIMITS_WIDTH];
  FillSamples(1, LIMITS, LIMITS_WIDTH, first, count, values);
  CHECK(MDF4_LTT_AddChannelData(h, 7, values, (uint32_t)count));
}

static void CheckLimitIds(MDF4Handle* h) {
  int32_t count = -1;
  int32_t* ids = MDF4_LTT_GetLimitIDs(h, &count);
  CHECK(ids != NULL && count == 1 && ids[0] == 7);
  Free1DIntArray(ids);
  CHECK(MDF4_LTT_GetChannelGroupName(h, 7) != NULL);
  CHECK(strcmp(MDF4_LTT_GetChannelGroupName(h, 7), LIMITS) == 0);
  CHECK(MDF4_LTT_GetChannelGroupName(h, 70) == NULL && h->errorCode == 0);
}

int main(int argc, char** argv) {
  char path[MAX_PATH_LENGTH], sortedPath[MAX_PATH_LENGTH], valuesPath[MAX_PATH_LENGTH];
  MDF4HeaderInfo info;
  MDF4Handle h;
  int64_t start, firstStart;
  uint64_t before;
  double times[3];
  double one[ENGINE_WIDTH] = {1, 2, 3};

  if (argc != 2 || strlen(argv[1]) > MAX_PATH_LENGTH - 32) {
    fprintf(stderr, "usage: qm_c_host <output directory>\n");
    return 2;
  }
  sprintf(path, "%s/c_host.mf4", argv[1]);
  sprintf(sortedPath, "%s/c_host_sorted.mf4", argv[1]);
  sprintf(valuesPath, "%s/c_host_values.txt", argv[1]);
  /* An existing file would be reopened instead of created. */
  remove(path);
  remove(sortedPath);
  valuesFile = fopen(valuesPath, "w");
  CHECK(valuesFile != NULL);

  info.author = "C host";
  info.department = "Tests";
  info.project = "Quillmark";
  info.subject = "End to end";
  info.timeSource = "local PC";
  info.comment = "written by c_host.c";

  /* ---- A new file: two groups, written by interleaved 1-D, 2-D and limit calls ---- */
  memset(&h, 0, sizeof h);
  before = GetCurrentTimeStamp();
  start = 0;
  CHECK(MDF4_Create(path, &h, &info, &start));
  CHECK(h.file != NULL && h.errorCode == 0 && h.errorMessage == NULL);
  CHECK(start > 0 && (uint64_t)start >= before && (uint64_t)start <= GetCurrentTimeStamp());
  firstStart = start;

  CHECK(MDF4_AddChannelGroup(&h, ENGINE, true));
  CHECK(MDF4_AddChannel(&h, ENGINE, "Speed", "rpm", 1.0, 0.0));
  CHECK(MDF4_AddChannel(&h, ENGINE, "Torque", "Nm", 0.5, -10.0));
  CHECK(MDF4_AddChannelGroup(&h, LIMITS, false));
  CHECK(MDF4_AddChannel(&h, LIMITS, "Upper", NULL, 1.0, 0.0));
  CHECK(MDF4_AddChannel(&h, LIMITS, "Lower", "V", 2.0, 1.0));

  CHECK(!MDF4_AddChannelGroup(&h, ENGINE, false));
  ExpectError(&h, MDF4_ERR_GROUP, "Group already exists", __LINE__);
  CHECK(!MDF4_AddChannelData1D(&h, "Gearbox", one, 1));
  ExpectError(&h, MDF4_ERR_GROUP, "Group 'Gearbox' not found", __LINE__);
  CHECK(!MDF4_AddChannel(&h, "engine", "Speed", NULL, 1.0, 0.0));
  ExpectError(&h, MDF4_ERR_GROUP, "Group 'engine' not found", __LINE__);
  CHECK(!MDF4_AddChannel(&h, ENGINE, "Late", NULL, 1.0, 0.0));
  ExpectError(&h, MDF4_ERR_NOT_NEWEST_GROUP, "Channels can only be added to the newest group", __LINE__);
  CHECK(!MDF4_LTT_AddChannelData(&h, 8, one, 1));
  ExpectError(&h, MDF4_ERR_LIMIT, "limit '8' not found", __LINE__);
  CHECK(!MDF4_AddChannelData2D(&h, ENGINE, NULL, -1));
  ExpectError(&h, MDF4_ERR_INVALID_ARGUMENT, "Invalid argument", __LINE__);

  Append1D(&h, 0, ENGINE, ENGINE_WIDTH, 0, 3);
  Append2D(&h, 1, LIMITS, LIMITS_WIDTH, 0, 2);
  Append2D(&h, 0, ENGINE, ENGINE_WIDTH, 3, 2);
  AppendLimit(&h, 2, 3);
  Append1D(&h, 0, ENGINE, ENGINE_WIDTH, 5, 0); /* count 0 is valid and writes nothing */
  CheckLimitIds(&h);
  MDF4_Close(&h);

  /* ---- Reopened: the groups come from the file, new samples are appended to both ---- */
  start = 0;
  CHECK(MDF4_Create(path, &h, &info, &start));
  CHECK(start == firstStart); /* the file's own start time comes back */
  /* Declarations change nothing in a reopened file. */
  CHECK(MDF4_AddChannelGroup(&h, "New", true));
  CHECK(MDF4_AddChannel(&h, "New", "Late", NULL, 1.0, 0.0));
  CHECK(!MDF4_AddChannelData1D(&h, "New", one, 1));
  ExpectError(&h, MDF4_ERR_GROUP, "Group 'New' not found", __LINE__);
  CheckLimitIds(&h);
  Append2D(&h, 0, ENGINE, ENGINE_WIDTH, 5, 2);
  Append1D(&h, 1, LIMITS, LIMITS_WIDTH, 5, 2);
  Append1D(&h, 0, ENGINE, ENGINE_WIDTH, 7, 1);
  AppendLimit(&h, 7, 1);
  MDF4_Close(&h);

  /* ---- The sorted copy ---- */
  CHECK(!MDF4_Sort(path, path)); /* the source is never its own destination */
  CHECK(MDF4_Sort(path, sortedPath));
  /* A sorted file has no record IDs: appending to it is refused and leaves it as it is. */
  start = 0;
  CHECK(MDF4_Create(sortedPath, &h, &info, &start));
  CHECK(start == firstStart);
  CHECK(!MDF4_AddChannelData1D(&h, LIMITS, one, 1));
  ExpectError(&h, MDF4_ERR_CANNOT_APPEND, "Data cannot be appended to this file", __LINE__);
  MDF4_Close(&h);

  /* ---- Handle-free functions and null arguments ---- */
  GetTimeChannelValues(times, 3, 10000, 0);
  CHECK(times[0] < times[1] && times[1] < times[2]);
  Free1DIntArray(NULL);
  MDF4_FreeString(NULL);
  CHECK(!MDF4_AddChannelGroup(NULL, ENGINE, true));
  CHECK(!MDF4_AddChannelData1D(NULL, ENGINE, one, 1));
  CHECK(MDF4_LTT_GetLimitIDs(NULL, NULL) == NULL);
  MDF4_Close(NULL);

  CHECK(fclose(valuesFile) == 0);
  return 0;
}
