// Layout numbers of the MDF 4 format, named once for writer, readers, sorter and tests.
#pragma once

#include <cstdint>

namespace qm::fmt {

// Block type codes: the two id letters as a little-endian 16-bit number.
constexpr uint16_t TypeCode(char a, char b) {
  return static_cast<uint16_t>(static_cast<uint8_t>(a) | (static_cast<uint8_t>(b) << 8));
}
constexpr uint16_t kHD = TypeCode('H', 'D');
constexpr uint16_t kFH = TypeCode('F', 'H');
constexpr uint16_t kDG = TypeCode('D', 'G');
constexpr uint16_t kCG = TypeCode('C', 'G');
constexpr uint16_t kCN = TypeCode('C', 'N');
constexpr uint16_t kCC = TypeCode('C', 'C');
constexpr uint16_t kTX = TypeCode('T', 'X');
constexpr uint16_t kMD = TypeCode('M', 'D');
constexpr uint16_t kSI = TypeCode('S', 'I');
constexpr uint16_t kAT = TypeCode('A', 'T');
constexpr uint16_t kEV = TypeCode('E', 'V');
constexpr uint16_t kCH = TypeCode('C', 'H');
constexpr uint16_t kCA = TypeCode('C', 'A');
constexpr uint16_t kSR = TypeCode('S', 'R');
constexpr uint16_t kDL = TypeCode('D', 'L');
constexpr uint16_t kHL = TypeCode('H', 'L');
constexpr uint16_t kDZ = TypeCode('D', 'Z');
constexpr uint16_t kDT = TypeCode('D', 'T');
constexpr uint16_t kSD = TypeCode('S', 'D');
constexpr uint16_t kRD = TypeCode('R', 'D');
constexpr uint16_t kHashMark = TypeCode('#', '#');  // 0x2323, the first two id bytes

// Block header: id (4), reserved (4), length (8), link count (8).
constexpr uint32_t kBlockHeaderSize = 24;
constexpr uint32_t kHeaderIdOffset = 0;
constexpr uint32_t kHeaderTypeOffset = 2;  // the block type code, behind "##"
constexpr uint32_t kHeaderLengthOffset = 8;
constexpr uint32_t kHeaderLinkCountOffset = 16;
constexpr uint32_t kLinkSize = 8;
constexpr uint64_t kBlockAlignment = 8;

// Identification block at offset 0 and the header block right behind it.
constexpr uint32_t kIdBlockSize = 64;
constexpr uint32_t kIdFileOffset = 0;
constexpr uint32_t kIdVersOffset = 8;
constexpr uint32_t kIdProgOffset = 16;
constexpr uint32_t kIdVerOffset = 28;
constexpr uint32_t kIdTextFieldSize = 8;
constexpr char kIdFile[] = "MDF     ";  // id_file: "MDF" and five blanks
constexpr uint64_t kHDPosition = 64;
constexpr uint16_t kMinVersion = 400;

// What this library writes.
constexpr int32_t kVersion = 400;
// A sorted copy with ##DZ blocks: 4.10 is the first version that defines them.
constexpr int32_t kVersionCompressed = 410;
constexpr const char* kProgramId = "Brenik";
constexpr uint32_t kDataBlockCapacity = 4194304;  // 4 MiB per ##DT block
constexpr uint32_t kListEntries = 5;              // data blocks per ##DL list
constexpr uint8_t kUnsortedRecordIdSize = 2;

// Link indices used by the library.
constexpr int kHdDgFirst = 0, kHdFhFirst = 1, kHdMdComment = 5;
constexpr int kFhNext = 0, kFhMdComment = 1;
constexpr int kDgNext = 0, kDgCgFirst = 1, kDgData = 2, kDgMdComment = 3;
constexpr int kCgNext = 0, kCgCnFirst = 1, kCgTxAcqName = 2, kCgSiAcqSource = 3, kCgSrFirst = 4,
              kCgMdComment = 5;
constexpr int kCnNext = 0, kCnComposition = 1, kCnTxName = 2, kCnSiSource = 3, kCnCcConversion = 4,
              kCnData = 5, kCnMdUnit = 6, kCnMdComment = 7;
constexpr int kCcTxName = 0, kCcMdUnit = 1, kCcMdComment = 2, kCcInverse = 3;
constexpr int kDlNext = 0;
constexpr int kHlDlFirst = 0;

// cg_flags bit 0: a group of variable-length signal data.
constexpr uint16_t kCgFlagVlsd = 1;
// dl_flags bit 0: every listed block but the last has dl_equal_length bytes.
constexpr uint8_t kDlFlagEqualLength = 1;

// Channel fields written by the library.
constexpr uint8_t kCnTypeValue = 0, kCnTypeMaster = 2;
// Channel types readers tell apart besides those: a virtual master, a virtual data channel.
constexpr uint8_t kCnTypeVirtualMaster = 3, kCnTypeVirtualData = 6;
constexpr uint8_t kCnSyncNone = 0, kCnSyncTime = 1;
constexpr uint8_t kCnDataTypeFloatLE = 4;
constexpr uint32_t kCnBitCountDouble = 64;
constexpr uint8_t kCcTypeIdentity = 0, kCcTypeLinear = 1;

// ##DZ zip types.
constexpr uint8_t kZipDeflate = 0, kZipTransposeDeflate = 1;
// hl_flags bit 0: every ##DL of the chain has dl_flags bit 0 (equal length) set.
constexpr uint16_t kHlFlagEqualLength = 1;

// Time stamps: 100 ns FILETIME ticks between 1601-01-01 and 1970-01-01.
constexpr uint64_t kFileTimeEpochOffset = 116444736000000000ULL;
constexpr uint64_t kNanosPerFileTimeTick = 100;
constexpr uint8_t kTimeFlagOffsetsValid = 2;

}  // namespace qm::fmt
