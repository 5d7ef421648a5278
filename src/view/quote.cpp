#include "quote.h"

std::string posix_word(const std::string& word) {
  // '=' first would be zsh's path expansion; '-' and '~' inside are plain.
  const bool bare = !word.empty() && word[0] != '=' &&
                    word.find_first_not_of(
                        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                        "0123456789_@%+=:,./-") == std::string::npos;
  if (bare) return word;
  std::string q = "'";
  for (const char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// In double quotes cmd.exe leaves & | < > ^ ( ) , ; = ! and spaces alone, and
// the C runtime takes backslashes literally unless they stand before a quote:
// those are doubled, and a quote inside is \" (no Windows name holds one).
// cmd.exe expands %NAME% even inside quotes, in a batch file and at the
// prompt alike. Written for the prompt: each % stands outside the quotes as
// ^%, so no text between two of them can name a variable (it holds a quote
// and a caret), and the caret is dropped before the program sees the line.
// In a batch file, write a name's % as %% instead.
std::string cmd_word(const std::string& word) {
  if (!word.empty() && word.find_first_of(" \t\"&|<>^()%!,;=") == std::string::npos) return word;
  std::string q = "\"";
  size_t backslashes = 0;
  for (const char c : word) {
    if (c == '"' || c == '%') q.append(backslashes, '\\');
    q += c == '"' ? "\\\"" : c == '%' ? "\"^%\"" : std::string(1, c);
    backslashes = c == '\\' ? backslashes + 1 : 0;
  }
  return q.append(backslashes, '\\') + "\"";
}

std::string shell_word(const std::string& word) {
#ifdef _WIN32
  return cmd_word(word);
#else
  return posix_word(word);
#endif
}
