// quillmark repair: cuts a file back to the last state in which its data agrees.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "block/block_factory.h"
#include "block/chain_walker.h"
#include "block/hierarchy_blocks.h"
#include "commands.h"
#include "file/mdf4_file.h"
#include "platform/platform.h"
#include "stream/data_repair.h"

namespace qm::cli {

const char* const kRepairHelp =
    "usage: quillmark repair FILE\n"
    "\n"
    "Cuts FILE back to the last state in which its data agrees, as reopening it for writing\n"
    "does: records of a call that a stopped writer left unfinished, and after a power loss\n"
    "whatever did not reach the disk (records that are zeros, list entries leading to blocks\n"
    "that were never written, counts beyond the records present, channels or groups whose\n"
    "blocks are missing). What is kept is a prefix of the samples in the order they were\n"
    "written. Only files this library wrote are changed (2-byte record IDs, no\n"
    "variable-length groups); a file whose data agrees stays as it is. Says what it cut.\n";

int RunRepair(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(kRepairHelp, stdout);
    return 0;
  }
  if (args.size() != 1) return Fail("repair", "expected FILE (see quillmark repair --help)");
  const std::u16string name = os::NarrowToWide(args[0].c_str());
  if (!os::FileExists(name.c_str())) return Fail("repair", "'" + args[0] + "' does not exist");
  MDF4File file;
  if (!file.Open(name.c_str()))
    return Fail("repair", "'" + args[0] + "' is not an MDF 4 file, or another program is writing it");
  mDirectFile& direct = file.Direct();
  // The data calls of a writer go to the last data group.
  // A chain that stops early (a loop, a link to no data group) has no last group to continue,
  // as reopening finds too.
  ChainWalker<M4DGBlock> walk(&direct, file.HD().GetLink(fmt::kHdDgFirst), fmt::kDG, fmt::kDgNext);
  std::unique_ptr<M4DGBlock> dg = LastOfChain(walk);
  if (!dg || walk.StoppedEarly()) {
    std::printf("%s: no data group, nothing to repair\n", args[0].c_str());
    return 0;
  }
  RollBackResult result;
  // A roll-back that cannot be written completely is taken back: the file stays as it was.
  if (!direct.AllOrNothing([&] { return RollBackInterruptedData(file, *dg, &result); }))
    return Fail("repair", "the data of '" + args[0] + "' could not be rewritten");
  if (!result.applicable) {
    std::printf("%s: not a layout this tool repairs (written by another program, or another record layout); unchanged\n",
                args[0].c_str());
  } else if (result.changed) {
    std::printf("%s: cut %llu bytes of an interrupted data call; %llu bytes of data remain\n", args[0].c_str(),
                static_cast<unsigned long long>(result.dataLength - result.keptLength),
                static_cast<unsigned long long>(result.keptLength));
  } else {
    std::printf("%s: data and sample counts agree (%llu bytes); unchanged\n", args[0].c_str(),
                static_cast<unsigned long long>(result.dataLength));
  }
  return 0;
}

}  // namespace qm::cli
