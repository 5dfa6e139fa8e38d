// The console's own texts for the page (validation messages and the like), taken from the
// same message tables the page uses, so English and Japanese come from one place.
#pragma once

#include <string>

namespace console {

// The text of `key` in the language of LANGUAGE ("1" Japanese, anything else English),
// "%s" replaced by `arg` when given. The key itself when the table lacks it.
std::string MessageText(const std::string& language, const std::string& key,
                        const std::string& arg = "");

}  // namespace console
