#include "tests/reliability/PlatformCalls.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace reliability {
namespace {

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Source text without comments, preprocessor lines and the contents of string and
// character literals (the quotes stay); the literals themselves go to `literals`.
std::string code(const std::string& text, std::vector<std::string>* literals = nullptr) {
  std::string out;
  size_t i = 0, n = text.size();
  bool lineStart = true;
  while (i < n) {
    char c = text[i];
    if (lineStart && (c == ' ' || c == '\t')) {
      out += c;
      i++;
      continue;
    }
    if (lineStart && c == '#') {  // a directive, with its continuation lines
      while (i < n && text[i] != '\n') i += (text[i] == '\\' && i + 1 < n) ? 2 : 1;
      continue;
    }
    lineStart = false;
    if (c == '/' && i + 1 < n && text[i + 1] == '/') {
      while (i < n && text[i] != '\n') i++;
      continue;
    }
    if (c == '/' && i + 1 < n && text[i + 1] == '*') {
      size_t end = text.find("*/", i + 2);
      i = end == std::string::npos ? n : end + 2;
      out += ' ';
      continue;
    }
    if (c == '"' || c == '\'') {
      std::string literal;
      size_t j = i + 1;
      while (j < n && text[j] != c) {
        if (text[j] == '\\' && j + 1 < n) literal += text[j++];
        literal += text[j++];
      }
      if (literals && c == '"') literals->push_back(literal);
      out += c;
      out += c;
      i = j + 1;
      continue;
    }
    if (c == '\n') lineStart = true;
    out += c;
    i++;
  }
  return out;
}

std::vector<fs::path> filesIn(const fs::path& dir, const std::vector<std::string>& extensions,
                              const std::string& prefix = "") {
  std::vector<fs::path> files;
  if (!fs::is_directory(dir)) return files;
  for (auto& entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || name.rfind(prefix, 0) != 0) continue;
    for (auto& ext : extensions)
      if (entry.path().extension() == ext) files.push_back(entry.path());
  }
  return files;
}

// Functions declared or defined at namespace scope outside any named namespace
// (extern "C" blocks included): the platform's Win32 functions.
void declaredFunctions(const std::string& text, std::set<std::string>& names) {
  static const std::regex declaration(
      R"(^\s*(?:\[\[\w+\]\]\s*)?(?:(?:extern|static|inline)\s+)*[A-Za-z_][\w:<>]*[\s\*&]+(?:(?:const|WINAPI|APIENTRY|STDAPI|CALLBACK)[\s\*]+)*([A-Za-z_]\w*)\s*\()");
  static const std::regex excluded(R"(^\s*(typedef|using|struct|class|enum|union|template|static_assert|namespace|return)\b)");
  std::vector<bool> counts;  // per open block: does it count as a level
  std::string statement;
  auto depth = [&] {
    int d = 0;
    for (bool b : counts) d += b ? 1 : 0;
    return d;
  };
  for (char c : text) {
    if (c == '{' || c == ';' || c == '}') {
      if (depth() == 0 && c != '}') {
        std::smatch m;
        if (!std::regex_search(statement, excluded) && std::regex_search(statement, m, declaration))
          names.insert(m[1]);
      }
      if (c == '{') {
        bool transparent = statement.find("extern \"\"") != std::string::npos;
        counts.push_back(!transparent);
      } else if (c == '}' && !counts.empty()) {
        counts.pop_back();
      }
      statement.clear();
      continue;
    }
    statement += c;
  }
}

}  // namespace

PlatformCalls platformCallsOfTheSystem(const std::string& sourceDir) {
  fs::path root(sourceDir);
  std::set<std::string> declared, methods, faultPoints;

  std::vector<fs::path> headers = filesIn(root / "platform" / "sim", {".h"});
  for (auto& f : filesIn(root / "platform", {".h"}, "decl_")) headers.push_back(f);
  headers.push_back(root / "platform" / "memory.h");
  static const std::regex method(R"(STDMETHODCALLTYPE\s+([A-Za-z_]\w*)\s*\()");
  for (auto& h : headers) {
    std::string text = code(readFile(h));
    declaredFunctions(text, declared);
    for (std::sregex_iterator it(text.begin(), text.end(), method), end; it != end; ++it) methods.insert((*it)[1]);
  }

  // A fault point is named by a string literal in the machine's sources.
  std::vector<fs::path> simSources = filesIn(root / "platform" / "sim", {".cpp"});
  for (auto& s : simSources) {
    std::vector<std::string> literals;
    code(readFile(s), &literals);
    faultPoints.insert(literals.begin(), literals.end());
  }

  // A method name the system declares itself (CServiceBase::Stop) is the system's own
  // call, whatever interface also has one of that name.
  static const std::regex ownMethod(R"(\b(?:void|bool|BOOL|int|DWORD|HRESULT|float|LSTATUS)\s+([A-Za-z_]\w*)\s*\()");
  for (const char* dir : {"modes", "helpers", "service"}) {
    for (auto& f : filesIn(root / dir, {".h"})) {
      std::string text = code(readFile(f));
      for (std::sregex_iterator it(text.begin(), text.end(), ownMethod), end; it != end; ++it) methods.erase((*it)[1]);
    }
  }

  PlatformCalls calls;
  static const std::regex call(R"((->|\.|::)?\s*([A-Za-z_]\w*)\s*\()");
  static const std::regex memberPointer(R"(\bI[A-Z]\w*::([A-Za-z_]\w*))");
  for (const char* dir : {"modes", "helpers", "service"}) {
    for (auto& f : filesIn(root / dir, {".cpp", ".h"})) {
      std::string text = code(readFile(f));
      for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
        std::string via = (*it)[1], name = (*it)[2];
        if (via == "->" && methods.count(name)) {
          (faultPoints.count(name) ? calls.methods : calls.unfailable).insert(name);
          continue;
        }
        if (via == "." || via == "->" || !declared.count(name)) continue;
        std::string point = name == "PlatformMalloc" ? "malloc" : name;
        (faultPoints.count(point) ? calls.functions : calls.unfailable).insert(point);
      }
      for (std::sregex_iterator it(text.begin(), text.end(), memberPointer), end; it != end; ++it) {
        std::string name = (*it)[1];
        if (methods.count(name)) (faultPoints.count(name) ? calls.methods : calls.unfailable).insert(name);
      }
    }
  }
  return calls;
}

}  // namespace reliability
