// Reads both shapes of the testdata sidecars into one summary.
#include "sidecar.h"

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>

namespace qm::test {

bool HaveTestData() {
  std::error_code ec;
  return std::filesystem::is_directory(QM_TESTDATA_DIR, ec);
}

std::string TestDataPath(const std::string& name) { return std::string(QM_TESTDATA_DIR) + "/" + name; }

std::vector<SidecarGroup> LoadSidecar(const std::string& path) {
  using nlohmann::json;
  std::ifstream in(path, std::ios::binary);
  const json root = json::parse(in, nullptr, false);
  std::vector<SidecarGroup> groups;
  if (!root.is_object() || !root.contains("data_groups")) return groups;
  for (const json& dg : root["data_groups"]) {
    for (const json& cg : dg.at("channel_groups")) {
      SidecarGroup& g = groups.emplace_back();
      g.name = (cg.contains("acq_name") ? cg["acq_name"] : cg.at("name")).get<std::string>();
      g.recordIdSize = dg.at("record_id_size").get<uint8_t>();
      g.recordId = cg.at("record_id").get<uint64_t>();
      g.cycleCount = cg.at("cycle_count").get<uint64_t>();
      for (const json& cn : cg.at("channels")) {
        SidecarChannel& c = g.channels.emplace_back();
        c.name = cn.at("name").get<std::string>();
        c.count = (cn.contains("count") ? cn["count"] : cn.at("samples")).get<uint64_t>();
        // One shape states engineering values under "eng"; the other states the stored values
        // beside the linear conversion that turns them into engineering values.
        double factor = 1, offset = 0;
        const json conversion = cn.value("conversion", json());
        if (!cn.contains("eng") && conversion.is_object()) {
          factor = conversion.value("factor", 1.0);
          offset = conversion.value("offset", 0.0);
        }
        const json& values = cn.contains("eng") ? cn["eng"] : cn;
        const json& first = values.at("first");
        c.first = offset + factor * (first.is_array() ? first.at(0) : first).get<double>();
        c.sum = offset * static_cast<double>(c.count) + factor * values.at("sum").get<double>();
      }
    }
  }
  return groups;
}

}  // namespace qm::test
