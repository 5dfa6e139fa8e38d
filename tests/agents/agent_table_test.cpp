// The agent table is what the console launches and reads by: each agent program of the
// build must answer to its row's name, take its row's retry file, keep its accounts in its
// row's status folder and leave its row's state file.
#include <gtest/gtest.h>

#include <fstream>

#include "common/scan_groups.h"
#include "platform/files.h"
#include "testkit.h"

namespace {

TEST(AgentTable, EveryAgentProgramUsesTheNamesOfItsRow) {
  for (const common::AgentFacts& agent : common::kAgents) {
    SCOPED_TRACE(agent.program);
    testkit::ProgramDir pd;
    platform::MakeDirs(pd / common::kTemp);
    const std::string retry = pd / (std::string(common::kTemp) + "/" + agent.retryFile);
    std::ofstream(retry) << "0000\t1\n";
    // A state file left busy by a killed run, with a down flag.
    const std::string state = pd / agent.stateFile;
    std::ofstream(state, std::ios::binary) << std::string(agent.stateSize, '\1');

    ASSERT_EQ(pd.RunAgent(agent.program, 1), 0);
    EXPECT_FALSE(platform::PathExists(retry)) << "a full run starts without the retry file";
    EXPECT_TRUE(platform::IsDirectory(pd / common::FolderName(agent.folder)));
    if (agent.folder == common::StatusFolder::kEmail) continue;  // numbered per account run
    const std::string written = pd.Read(agent.stateFile);
    ASSERT_EQ(written.size(), agent.stateSize);
    for (size_t i = 0; i < agent.busyFlags; ++i) {
      EXPECT_EQ(written.substr(4 * i, 4), std::string(4, '\0')) << "busy flag " << i;
    }
    EXPECT_EQ(written.substr(agent.downOffset, 4), std::string(4, '\0')) << "down flag";
  }
}

}  // namespace
