// The profile of each agent program.
#pragma once

#include "agents/framework/agent_profile.h"

namespace agents {

extern const AgentProfile kEchoProfile;
extern const AgentProfile kWebPortProfile;
extern const AgentProfile kMailOutProfile;
extern const AgentProfile kMailInProfile;
extern const AgentProfile kFilePortProfile;
extern const AgentProfile kAnyPortProfile;
extern const AgentProfile kPageProfile;
extern const AgentProfile kXferProfile;

}  // namespace agents
