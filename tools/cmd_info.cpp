// quillmark info: the structure of an MDF 4 file (header, history, data groups, channel groups, channels).
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli_text.h"
#include "commands.h"
#include "mdf_reader.h"

namespace qm::cli {

const char* const kInfoHelp =
    "usage: quillmark info FILE\n"
    "\n"
    "Shows the structure of the MDF 4 file FILE: version and program identifier, start time\n"
    "(UTC and local offset), the header comment, the file history, and each data group with\n"
    "its record ID size and data size (and the compression of compressed blocks: their count,\n"
    "original and stored bytes), each channel group with name, record ID, cycle count\n"
    "and record size, and each channel with name, unit, conversion and byte offset.\n"
    "Sorted and unsorted files of any writer are read; the file is opened read-only without a\n"
    "lock, so a file that is being written can be inspected.\n";

namespace {

std::string DataTypeName(const ChannelInfo& cn) {
  static const char* const kNames[] = {
      "uint LE", "uint BE", "int LE", "int BE", "float LE", "float BE", "string Latin-1",
      "string UTF-8", "string UTF-16LE", "string UTF-16BE", "bytes", "MIME sample", "MIME stream",
      "CANopen date", "CANopen time", "complex LE", "complex BE"};
  if (cn.IsVirtual()) return "virtual";
  std::string name = cn.dataType < std::size(kNames) ? kNames[cn.dataType]
                                                    : "type " + std::to_string(cn.dataType);
  if (cn.dataType <= 5) {
    const size_t blank = name.find(' ');
    name = name.substr(0, blank) + std::to_string(cn.bitCount) + name.substr(blank);
  } else {
    name += " (" + std::to_string(cn.bitCount / 8) + " bytes)";
  }
  return name;
}

// "text" lines of a multi-line value, indented below the first.
void PrintValue(const char* label, const std::string& value) {
  std::string shown = value;
  for (size_t at = shown.find('\n'); at != std::string::npos; at = shown.find('\n', at + 1))
    shown.insert(at + 1, 18, ' ');
  std::printf("  %-15s %s\n", label, shown.c_str());
}

void PrintHeaderComment(const std::string& xml) {
  if (xml.empty()) return;
  std::printf("header comment\n");
  bool found = false;
  const std::string tx = XmlElement(xml, "TX", &found);
  if (xml.find("<HDcomment") == std::string::npos) {
    PrintValue("text", xml);
    return;
  }
  if (found) PrintValue("text", tx);
  const std::string source = XmlElement(xml, "time_source", &found);
  if (found) PrintValue("time source", source);
  for (const auto& [name, value] : XmlProperties(xml)) PrintValue(name.c_str(), value);
}

void PrintTime(const char* label, uint64_t ns, int16_t tz, int16_t dst, uint8_t flags) {
  std::string text = FormatTimeNs(ns);
  if ((flags & 1) != 0) {
    text += " local time";
  } else {
    text += " UTC";
    if ((flags & 2) != 0)
      text += ", local offset " + FormatOffset(tz + dst) + " (zone " + FormatOffset(tz) +
              ", daylight saving " + FormatOffset(dst) + ")";
    else
      text += ", local offset unknown";
  }
  std::printf("%-12s%s\n", label, text.c_str());
}

void PrintHistory(const std::vector<HistoryInfo>& history) {
  if (history.empty()) return;
  std::printf("file history\n");
  for (size_t i = 0; i < history.size(); ++i) {
    const HistoryInfo& h = history[i];
    std::string what = h.comment;
    if (h.comment.find("<FHcomment") != std::string::npos) {
      what = XmlElement(h.comment, "TX");
      const std::string tool = XmlElement(h.comment, "tool_id");
      const std::string version = XmlElement(h.comment, "tool_version");
      const std::string vendor = XmlElement(h.comment, "tool_vendor");
      std::string by = tool + (version.empty() || tool.empty() ? "" : " ") + version;
      if (!vendor.empty()) by += (by.empty() ? "" : ", ") + vendor;
      if (!by.empty()) what += "  (" + by + ")";
    }
    std::replace(what.begin(), what.end(), '\n', ' ');
    std::printf("  %zu  %s UTC  %s\n", i + 1, FormatTimeNs(h.timeNs).c_str(), what.c_str());
  }
}

void PrintChannels(const ChannelGroupInfo& cg) {
  size_t wName = 4, wUnit = 4, wConv = 10;
  std::vector<std::string> convs;
  for (const ChannelInfo& cn : cg.channels) {
    convs.push_back(cn.conversion.Describe());
    wName = std::max(wName, cn.name.size());
    wUnit = std::max(wUnit, cn.unit.size());
    wConv = std::max(wConv, convs.back().size());
  }
  std::printf("    %-*s  %-*s  %-*s  %s\n", static_cast<int>(wName), "name", static_cast<int>(wUnit),
              "unit", static_cast<int>(wConv), "conversion", "offset  data type");
  for (size_t i = 0; i < cg.channels.size(); ++i) {
    const ChannelInfo& cn = cg.channels[i];
    std::string where = std::to_string(cn.byteOffset);
    if (cn.bitOffset != 0) where += "." + std::to_string(cn.bitOffset);
    std::string type = DataTypeName(cn);
    if (cn.IsMaster()) type += ", master";
    if (cn.isArray) type += ", array";
    std::printf("    %-*s  %-*s  %-*s  %-6s  %s\n", static_cast<int>(wName), cn.name.c_str(),
                static_cast<int>(wUnit), cn.unit.c_str(), static_cast<int>(wConv), convs[i].c_str(),
                cn.IsVirtual() ? "-" : where.c_str(), type.c_str());
  }
}

// The record bytes the cycle counts of the data group's fixed-length groups state (saturated).
// Counts are read before the data, and a writer writes records before counting them, so only
// counts ahead of their records (a power loss kept records from the disk, or a writer stopped
// between them) make this exceed the data.
uint64_t CountedBytes(const DataGroupInfo& dg) {
  constexpr uint64_t kAll = ~uint64_t{0};
  uint64_t counted = 0;
  for (const ChannelGroupInfo& cg : dg.groups) {
    const uint64_t record = cg.RecordLength() + dg.recordIdSize;
    if (cg.IsVlsd() || record == 0) continue;
    if (cg.cycleCount > (kAll - counted) / record) return kAll;
    counted += cg.cycleCount * record;
  }
  return counted;
}

}  // namespace

int RunInfo(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(kInfoHelp, stdout);
    return 0;
  }
  if (args.size() != 1) return Fail("info", "expected one FILE (see quillmark info --help)");
  MdfReader reader;
  std::string error;
  if (!reader.Open(args[0], &error)) return Fail("info", error);
  const FileInfo& f = reader.Info();
  std::printf("%-12s%s\n", "file", args[0].c_str());
  std::printf("%-12s%s (%u), program \"%s\"\n", "version", f.versionText.c_str(),
              static_cast<unsigned>(f.version), f.programId.c_str());
  PrintTime("start time", f.startTimeNs, f.tzOffsetMin, f.dstOffsetMin, f.timeFlags);
  PrintHeaderComment(f.comment);
  PrintHistory(f.history);
  std::vector<std::string> warnings = f.warnings;
  for (size_t d = 0; d < f.dataGroups.size(); ++d) {
    const DataGroupInfo& dg = f.dataGroups[d];
    const DataLayout layout = reader.Layout(dg);
    if (layout.readable && CountedBytes(dg) > layout.totalLength)
      warnings.push_back("the cycle counts of data group " + std::to_string(d + 1) + " state more records than its " +
                         std::to_string(layout.totalLength) + " bytes of data hold (records that did not reach the "
                         "disk); export and sort read the records present");
    std::printf("data group %zu: record ID size %u, ", d + 1, static_cast<unsigned>(dg.recordIdSize));
    if (layout.readable)
      std::printf("data %llu bytes in %llu block(s) (%s)\n",
                  static_cast<unsigned long long>(layout.totalLength),
                  static_cast<unsigned long long>(layout.blockCount), layout.storage.c_str());
    else
      std::printf("data blocks cannot be resolved (%s)\n", layout.storage.c_str());
    if (layout.compressedBlocks != 0) {
      const char* how = layout.zipTypes == 2 ? "transposed, deflate" : layout.zipTypes == 1 ? "deflate" : "deflate, some transposed";
      const double percent = layout.originalBytes == 0 ? 0.0 : 100.0 * static_cast<double>(layout.storedBytes) /
                                                                   static_cast<double>(layout.originalBytes);
      std::printf("  compressed: %llu block(s) (%s), %llu bytes stored in %llu (%.1f %%)\n",
                  static_cast<unsigned long long>(layout.compressedBlocks), how,
                  static_cast<unsigned long long>(layout.originalBytes),
                  static_cast<unsigned long long>(layout.storedBytes), percent);
    }
    for (size_t g = 0; g < dg.groups.size(); ++g) {
      const ChannelGroupInfo& cg = dg.groups[g];
      std::printf("  channel group %zu \"%s\": record ID %llu, %llu cycles, record %llu bytes", g + 1,
                  cg.name.c_str(), static_cast<unsigned long long>(cg.recordId),
                  static_cast<unsigned long long>(cg.cycleCount),
                  static_cast<unsigned long long>(cg.RecordLength()));
      if (cg.invalBytes != 0) std::printf(" (%u invalidation)", static_cast<unsigned>(cg.invalBytes));
      std::printf("%s\n", cg.IsVlsd() ? ", variable-length signal data" : "");
      if (!cg.channels.empty()) PrintChannels(cg);
    }
  }
  std::fflush(stdout);
  for (const std::string& w : warnings) std::fprintf(stderr, "quillmark info: warning: %s\n", w.c_str());
  return 0;
}

}  // namespace qm::cli
