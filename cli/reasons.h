#pragma once
// The reasons that the loaders and writers give are Japanese, the window's language. glimbra-cli
// shows them in English unless the user's locale is Japanese.

#include <string>

namespace cli {

// reason in English: every known phrase replaced, longest first, so that composed reasons
// ("ファイルを開けません (アクセスが拒否されました)") come out whole; numbers, names and anything
// unknown stay as they are.
std::string EnglishReason(std::string reason);

// The reason in the user's language (see SetUpLanguage).
std::string LocalReason(const std::string& reason);

}  // namespace cli
