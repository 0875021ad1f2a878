/* A C99 host of the shared library: writes, reopens, appends to and sorts a file through the exports only. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quillmark/quillmark.h"

/* Usage: qm_c_host <output directory>
 *
 * Writes there c_host.mf4 (two groups, written, reopened and appended to), its sorted copy
 * c_host_sorted.mf4, and for each group GROUP.csv: what `quillmark export` must give for it.
 * Exits with 0 when every check passed; otherwise prints the failed check and exits with 1. */

#define MAX_PATH_LENGTH 4096

/* Group 0 is Engine (Time, Speed, Torque), group 1 the limit group [7]Limits (Upper, Lower). */
static const char* const kNames[2] = {"Engine", "[7]Limits"};
static const int kWidths[2] = {3, 2};
static const double kFactors[2][3] = {{1.0, 1.0, 0.5}, {1.0, 2.0}};
static const double kOffsets[2][3] = {{0.0, 0.0, -10.0}, {0.0, 1.0}};
static FILE* csvFiles[2];

static void Fail(int line, const char* what) {
  fprintf(stderr, "c_host.c:%d: check failed: %s\n", line, what);
  exit(1);
}

#define CHECK(cond)                     \
  do {                                  \
    if (!(cond)) Fail(__LINE__, #cond); \
  } while (0)

/* Fills count samples from sample first on, back to back, and adds their physical values to
 * the group's CSV. The values are exact in binary and print alike with %.17g and as export's
 * shortest form. */
static void FillSamples(int group, int first, int count, double* out) {
  int s, c;
  for (s = 0; s < count; ++s) {
    for (c = 0; c < kWidths[group]; ++c) {
      const double v = group == 0 && c == 0 ? (first + s) * 0.25 : group * 1000.0 + first + s + c * 0.125;
      out[s * kWidths[group] + c] = v;
      fprintf(csvFiles[group], c == 0 ? "%.17g" : ",%.17g", kOffsets[group][c] + kFactors[group][c] * v);
    }
    fprintf(csvFiles[group], "\n");
  }
}

/* Checks the recorded error (its text and the 4-byte byte count before it), then clears it
 * the way a host continues after an error. */
static void ExpectError(MDF4Handle* h, int32_t code, const char* text, int line) {
  size_t i, n = strlen(text);
  uint32_t byteCount = 0;
  if (h->errorCode != code || h->errorMessage == NULL) Fail(line, "error code");
  for (i = 0; i <= n; ++i)
    if (h->errorMessage[i] != (QM_CHAR16)(unsigned char)text[i]) Fail(line, text);
  memcpy(&byteCount, (const unsigned char*)h->errorMessage - 4, sizeof byteCount);
  if (byteCount != 2 * n) Fail(line, "byte count of the message");
  MDF4_FreeString(h->errorMessage);
  h->errorMessage = NULL;
  h->errorCode = 0;
}

/* Appends count samples of group by a 1-D call (kind 1), a 2-D call (2) or a limit call (3). */
static void Append(MDF4Handle* h, int kind, int group, int first, int count) {
  double values[16 * 3];
  double* rows[16];
  int s;
  FillSamples(group, first, count, values);
  for (s = 0; s < count; ++s) rows[s] = values + s * kWidths[group];
  CHECK(kind != 1 || MDF4_AddChannelData1D(h, kNames[group], values, (uint32_t)count));
  CHECK(kind != 2 || MDF4_AddChannelData2D(h, kNames[group], rows, count));
  CHECK(kind != 3 || MDF4_LTT_AddChannelData(h, 7, values, (uint32_t)count));
}

int main(int argc, char** argv) {
  char path[MAX_PATH_LENGTH], sortedPath[MAX_PATH_LENGTH], csvPath[MAX_PATH_LENGTH];
  MDF4HeaderInfo info = {"C host", "Tests", "Quillmark", "End to end", "local PC", "written by c_host.c"};
  MDF4Handle h;
  int64_t start = 0, firstStart;
  uint64_t before = GetCurrentTimeStamp();
  double times[3], one[3] = {1, 2, 3};
  int32_t count = 0, *ids;
  int g;

  if (argc != 2 || strlen(argv[1]) > MAX_PATH_LENGTH - 32) {
    fprintf(stderr, "usage: qm_c_host <output directory>\n");
    return 2;
  }
  sprintf(path, "%s/c_host.mf4", argv[1]);
  sprintf(sortedPath, "%s/c_host_sorted.mf4", argv[1]);
  remove(path); /* an existing file would be reopened instead of created */
  remove(sortedPath);
  for (g = 0; g < 2; ++g) {
    sprintf(csvPath, "%s/%s.csv", argv[1], kNames[g]);
    csvFiles[g] = fopen(csvPath, "wb");
    CHECK(csvFiles[g] != NULL);
  }
  fprintf(csvFiles[0], "Time [s],Speed [rpm],Torque [Nm]\n");
  fprintf(csvFiles[1], "Upper,Lower [V]\n");

  /* ---- A new file: two groups, written by interleaved 1-D, 2-D and limit calls ---- */
  memset(&h, 0, sizeof h);
  CHECK(MDF4_Create(path, &h, &info, &start));
  CHECK(h.file != NULL && h.errorCode == 0 && h.errorMessage == NULL);
  CHECK(start > 0 && (uint64_t)start >= before && (uint64_t)start <= GetCurrentTimeStamp());
  firstStart = start;
  CHECK(MDF4_AddChannelGroup(&h, kNames[0], true));
  CHECK(MDF4_AddChannel(&h, kNames[0], "Speed", "rpm", 1.0, 0.0));
  CHECK(MDF4_AddChannel(&h, kNames[0], "Torque", "Nm", 0.5, -10.0));
  CHECK(MDF4_AddChannelGroup(&h, kNames[1], false));
  CHECK(MDF4_AddChannel(&h, kNames[1], "Upper", NULL, 1.0, 0.0));
  CHECK(MDF4_AddChannel(&h, kNames[1], "Lower", "V", 2.0, 1.0));
  CHECK(!MDF4_AddChannelGroup(&h, kNames[0], false));
  ExpectError(&h, MDF4_ERR_GROUP, "Group already exists", __LINE__);
  Append(&h, 1, 0, 0, 3);
  Append(&h, 2, 1, 0, 2);
  Append(&h, 2, 0, 3, 2);
  Append(&h, 3, 1, 2, 3);
  Append(&h, 1, 0, 5, 0); /* count 0 is valid and writes nothing */
  MDF4_Close(&h);

  /* ---- Reopened: the groups come from the file, new samples are appended to both ---- */
  start = 0;
  CHECK(MDF4_Create(path, &h, &info, &start));
  CHECK(start == firstStart); /* the file's own start time comes back */
  CHECK(MDF4_AddChannelGroup(&h, "New", true)); /* declarations change nothing in a reopened file */
  CHECK(!MDF4_AddChannelData1D(&h, "New", one, 1));
  ExpectError(&h, MDF4_ERR_GROUP, "Group 'New' not found", __LINE__);
  ids = MDF4_LTT_GetLimitIDs(&h, &count); /* the limit group comes from the file too */
  CHECK(ids != NULL && count == 1 && ids[0] == 7 && strcmp(MDF4_LTT_GetChannelGroupName(&h, 7), kNames[1]) == 0);
  Free1DIntArray(ids);
  Append(&h, 2, 0, 5, 2);
  Append(&h, 1, 1, 5, 2);
  Append(&h, 1, 0, 7, 1);
  Append(&h, 3, 1, 7, 1);
  MDF4_Close(&h);
  CHECK(fclose(csvFiles[0]) == 0 && fclose(csvFiles[1]) == 0);

  /* ---- The sorted copy ---- */
  CHECK(!MDF4_Sort(path, path)); /* the source is never its own destination */
  CHECK(MDF4_Sort(path, sortedPath));

  GetTimeChannelValues(times, 3, 10000, 0);
  CHECK(times[0] < times[1] && times[1] < times[2]);
  return 0;
}
