#include "engine/script_runner.h"

#include <boost/regex.hpp>

#include <cstddef>
#include <exception>
#include <limits>
#include <utility>

#include "base/log.h"
#include "definitions/tree.h"
#include "engine/page_scanner.h"
#include "platform/trace.h"

namespace tulix {

namespace {

const char* const kInstructionKeywords[] = {"SEARCHTEXT", "COLUMN", "TAG", "ENDTAG", "TEXT", "DO"};

const char* const kActionKeywords[] = {"STARTRESULT",
                                       "SENDRESULTPAGE",
                                       "SENDRESULTPAGETAG",
                                       "SENDRESULT",
                                       "REWINDONE",
                                       "SENDPOSTPAGETAG",
                                       "SENDGETPAGETAG",
                                       "SAVEINPUTVALUE",
                                       "SETHREF",
                                       "STORE",
                                       "SET",
                                       "GET",
                                       "GETLATER",
                                       "ADDRESULT",
                                       "MARKTITLEEND",
                                       "POSTLATER",
                                       "NEXTPAGE",
                                       "REPEATREQUEST"};

constexpr int kInstructionCount = sizeof(kInstructionKeywords) / sizeof(kInstructionKeywords[0]);
constexpr int kActionCount = sizeof(kActionKeywords) / sizeof(kActionKeywords[0]);
static_assert(kActionCount == kActionNone, "one keyword per action kind");

int FindKeyword(const char* const* table, int count, const std::string& word) {
  for (int i = 0; i < count; ++i) {
    if (word == table[i]) {
      return i;
    }
  }
  return -1;
}

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// `lowered` is already lower case; compares whole texts, ASCII letters in any case.
bool EqualsLowered(std::string_view text, std::string_view lowered) {
  if (text.size() != lowered.size()) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    if (LowerAscii(text[i]) != lowered[i]) {
      return false;
    }
  }
  return true;
}

// Characters that give a pattern more meaning than its letters: without them, the pattern is
// a plain piece of text and a substring search finds it much faster than the matcher would.
bool IsLiteralPattern(std::string_view pattern) {
  return pattern.find_first_of("\\^$.|?*+()[]{}") == std::string_view::npos;
}

// Escaped characters that stand for themselves.
constexpr std::string_view kEscapedSelves = "\\.^$|?*+()[]{}/";
// Letters whose escape is one whole item taking nothing after it: character classes, anchors
// and single control characters. None of them is plain text.
constexpr std::string_view kSimpleEscapes = "dDwWsSbBAzZGnrtfvea";

bool IsAsciiPunctuation(char c) {
  return c > ' ' && c < 0x7F && !(c >= '0' && c <= '9') && !(c >= 'a' && c <= 'z') &&
         !(c >= 'A' && c <= 'Z');
}

// Whether the escape "\c" is known to be exactly two characters of the pattern. Escaped
// punctuation is (a literal, or one of the matcher's own anchors such as "\<"); letters only
// when listed. Everything else may take operands ("\x41", "\101", "\cX", "\p{L}", "\Q...\E",
// back references) or change how the rest reads.
bool IsTwoCharacterEscape(char c) {
  return IsAsciiPunctuation(c) || kSimpleEscapes.find(c) != std::string_view::npos;
}

// The index of the "]" that closes the class opened at `open`, or npos when that is not certain.
// A "]" right after "[" or "[^" is a member; "[:name:]", "[.x.]" and "[=e=]" are members
// holding a "]" of their own.
size_t ClassEnd(std::string_view pattern, size_t open) {
  size_t j = open + 1;
  if (j < pattern.size() && pattern[j] == '^') {
    ++j;
  }
  if (j < pattern.size() && pattern[j] == ']') {
    ++j;
  }
  while (j < pattern.size()) {
    const char c = pattern[j];
    if (c == ']') {
      return j;
    }
    if (c == '\\') {
      if (j + 1 >= pattern.size() || !IsTwoCharacterEscape(pattern[j + 1])) {
        return std::string_view::npos;
      }
      j += 2;
      continue;
    }
    if (c == '[' && j + 1 < pattern.size() &&
        std::string_view(":.=").find(pattern[j + 1]) != std::string_view::npos) {
      const char closer[] = {pattern[j + 1], ']', '\0'};
      const size_t close = pattern.find(closer, j + 2);
      if (close == std::string_view::npos) {
        return std::string_view::npos;
      }
      j = close + 2;
      continue;
    }
    ++j;
  }
  return std::string_view::npos;
}

}  // namespace

std::string RequiredLiteral(std::string_view pattern) {
  std::string best;
  std::string run;
  auto endRun = [&] {
    if (run.size() > best.size()) {
      best = run;
    }
    run.clear();
  };
  // Only plain characters outside groups count: a group may be optional or repeated, and
  // whatever is certain inside it is certain outside it too, or the pattern gives up below.
  int depth = 0;
  size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '\\') {
      if (i + 1 >= pattern.size() || !IsTwoCharacterEscape(pattern[i + 1])) {
        return {};
      }
      const char escaped = pattern[i + 1];
      i += 2;
      if (depth == 0 && kEscapedSelves.find(escaped) != std::string_view::npos) {
        run += escaped;
      } else {
        endRun();
      }
      continue;
    }
    if (c == '[') {
      const size_t close = ClassEnd(pattern, i);
      if (close == std::string_view::npos) {
        return {};
      }
      endRun();
      i = close + 1;
      continue;
    }
    if (c == '|') {
      return {};  // an alternative may match without any piece of the other
    }
    if (c == '(') {
      // "(?" brings options ((?i), (?x)), look-arounds, comments, recursion; "(*" verbs such
      // as (*ACCEPT) that end a match early. Any of them can void what follows.
      if (i + 1 < pattern.size() && (pattern[i + 1] == '?' || pattern[i + 1] == '*')) {
        return {};
      }
      endRun();
      ++depth;
      ++i;
      continue;
    }
    if (c == ')') {
      endRun();
      depth = depth > 0 ? depth - 1 : 0;
      ++i;
      continue;
    }
    if (c == '*' || c == '+' || c == '?' || c == '{') {
      // The quantifier may take the last character away ("a?", "a*", "a{0}").
      if (!run.empty()) {
        run.pop_back();
      }
      endRun();
      if (c == '{') {
        const size_t close = pattern.find('}', i);
        i = close == std::string_view::npos ? pattern.size() : close + 1;
      } else {
        ++i;
      }
      continue;
    }
    if (c == '.' || c == '^' || c == '$' || depth > 0) {
      endRun();
    } else {
      run += c;
    }
    ++i;
  }
  endRun();
  return best;
}

int ReadScriptNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Kept within the int range, so that no later sum can overflow.
  constexpr long long kLimit = std::numeric_limits<int>::max();
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < kLimit) {
      value = value * 10 + (text[i] - '0');
    }
  }
  if (value > kLimit) {
    value = kLimit;
  }
  return static_cast<int>(negative ? -value : value);
}

class ScriptPattern {
 public:
  // Null (with the reason in *error) when the pattern does not compile.
  static std::shared_ptr<const ScriptPattern> Compile(const std::string& text, std::string* error) {
    auto pattern = std::make_shared<ScriptPattern>();
    pattern->m_text = text;
    pattern->m_literal = IsLiteralPattern(text);
    if (!pattern->m_literal) {
      pattern->m_required = RequiredLiteral(text);
      try {
        pattern->m_regex.assign(text, boost::regex::perl);
      } catch (const std::exception& e) {
        *error = e.what();
        return nullptr;
      }
    }
    return pattern;
  }

  // Whether the pattern is found anywhere in `text`. `*subexpression1` (when given) receives
  // the first sub-expression of the match, "" when there is none or it took no part. A text
  // on which the matcher gives up (too complex) counts as not matching.
  bool Search(std::string_view text, std::string* subexpression1) const {
    if (m_literal) {
      if (subexpression1 != nullptr) {
        subexpression1->clear();
      }
      return text.find(m_text) != std::string_view::npos;
    }
    if (!m_required.empty() && text.find(m_required) == std::string_view::npos) {
      return false;
    }
    try {
      if (subexpression1 == nullptr) {
        return boost::regex_search(text.begin(), text.end(), m_regex);
      }
      boost::match_results<std::string_view::const_iterator> match;
      if (!boost::regex_search(text.begin(), text.end(), match, m_regex)) {
        return false;
      }
      if (match.size() > 1 && match[1].matched) {
        subexpression1->assign(match[1].first, match[1].second);
      } else {
        subexpression1->clear();
      }
      return true;
    } catch (const std::exception& e) {
      Trace("Pattern %s gave up on a token: %s\n", m_text.c_str(), e.what());
      return false;
    }
  }

 private:
  std::string m_text;
  bool m_literal = false;
  std::string m_required;  // text every match contains; "" when unknown
  boost::regex m_regex;
};

bool SearchScriptPattern(const ScriptPattern& pattern, std::string_view text,
                         std::string* subexpression1) {
  return pattern.Search(text, subexpression1);
}

const char* InstructionKeyword(int kind) {
  return kind >= 0 && kind < kInstructionCount ? kInstructionKeywords[kind] : "";
}

const char* ActionKeyword(int kind) {
  return kind >= 0 && kind < kActionCount ? kActionKeywords[kind] : "";
}

ScriptInstruction ParseInstruction(const ScriptLine& line) {
  ScriptInstruction instruction;
  instruction.kind = FindKeyword(kInstructionKeywords, kInstructionCount, line.instruction);
  if (instruction.kind < 0) {
    LogMessage(kLogStatusBar, kLogError, "Bad instruction %s", line.instruction.c_str());
    instruction.kind = kInstructionSearchText;
  }
  instruction.nextState = line.nextState;
  instruction.argument = line.argument;
  instruction.actionArgument = line.actionArgument;
  if (line.action.empty()) {
    instruction.actionKind = kActionNone;
  } else {
    instruction.actionKind = FindKeyword(kActionKeywords, kActionCount, line.action);
    if (instruction.actionKind < 0) {
      LogMessage(kLogStatusBar, kLogError, "Bad action %s", line.action.c_str());
      instruction.actionKind = kActionStartResult;
    }
  }
  // An empty argument gets no pattern, so the line matches nothing: a missing argument is
  // almost always a slip in the script, and firing its action on every token of every page
  // would do far more harm than doing nothing (DO is there for "every token").
  if (instruction.kind == kInstructionSearchText && !instruction.argument.empty()) {
    std::string error;
    instruction.pattern = ScriptPattern::Compile(instruction.argument, &error);
    if (instruction.pattern == nullptr) {
      LogMessage(kLogStatusBar, kLogError, "Bad pattern %s: %s", instruction.argument.c_str(),
                 error.c_str());
    }
  }
  return instruction;
}

struct ScriptRunner::Prepared {
  int tagId = -1;      // TAG: the id to compare with
  int column = 0;      // COLUMN: the column number, 0 for none
  std::string endTag;  // ENDTAG: "</argument>" in lower case
  bool continues = false;
};

struct ScriptRunner::LoadedState {
  ScriptState state;
  std::vector<Prepared> prepared;  // one per instruction, same order
};

ScriptRunner::ScriptRunner(const EngineDefinition& engine) : m_engine(engine) {
  m_enginePath = engine.TreePath();
  if (m_enginePath.empty()) {
    m_enginePath = engine.GetFilePath();
  }
  m_counters.page = engine.Data()->page;
  GoTo("START");
}

ScriptRunner::~ScriptRunner() = default;

void ScriptRunner::StartPage(PageScanner& scanner, const std::string& startState) {
  if (!startState.empty()) {
    m_resume = startState;
  }
  m_current = m_resume.empty() ? std::string("START") : std::exchange(m_resume, {});
  LoadState(m_current);
  FindCurrentState();
  m_scanner = &scanner;
  m_savedInputs.clear();
}

void ScriptRunner::StopPage() {
  m_resume = m_current;
  m_current = "FINISHED";
  m_state = nullptr;
}

void ScriptRunner::RewindOne() {
  if (m_scanner != nullptr) {
    m_scanner->RewindOne();
  }
}

void ScriptRunner::GoTo(std::string_view name) {
  while (!name.empty() && name.front() == '-') {
    RewindOne();
    name.remove_prefix(1);
  }
  m_current.assign(name);
  LoadState(m_current);
  FindCurrentState();
}

const ScriptState* ScriptRunner::FindState(std::string_view name) const {
  for (const auto& loaded : m_states) {
    if (loaded->state.name == name) {
      return &loaded->state;
    }
  }
  return nullptr;
}

void ScriptRunner::FindCurrentState() {
  m_state = nullptr;
  for (const auto& loaded : m_states) {
    if (loaded->state.name == m_current) {
      m_state = loaded.get();
      return;
    }
  }
}

void ScriptRunner::LoadState(const std::string& name) {
  if (name == "FINISHED" || FindState(name) != nullptr) {
    return;
  }
  std::vector<ScriptLine> lines = m_engine.ReadStateLines(name);
  if (lines.empty()) {
    // Not remembered as missing: the file may be fixed while the program runs, and reading it
    // again costs little next to fetching a page.
    LogMessage(kLogStatusBar, kLogError, "Cannot find state %s in file %s", name.c_str(),
               m_engine.Data()->stateFilePath.c_str());
    return;
  }
  auto loaded = std::make_unique<LoadedState>();
  loaded->state.name = name;
  for (const ScriptLine& line : lines) {
    ScriptInstruction instruction = ParseInstruction(line);
    Prepared prepared;
    prepared.continues = instruction.nextState == "CONTINUE";
    switch (instruction.kind) {
      case kInstructionColumn: {
        int column = ReadScriptNumber(instruction.argument);
        prepared.column = column > 0 ? column : 0;
        break;
      }
      case kInstructionTag:
        prepared.tagId = PageScanner::GetTagId("<" + instruction.argument + ">");
        break;
      case kInstructionEndTag:
        prepared.endTag = "</" + instruction.argument + ">";
        for (char& c : prepared.endTag) {
          c = LowerAscii(c);
        }
        break;
      default:
        break;
    }
    loaded->state.instructions.push_back(std::move(instruction));
    loaded->prepared.push_back(std::move(prepared));
  }
  m_states.push_back(std::move(loaded));
}

void ScriptRunner::Step(const PageToken& token) {
  if (m_state == nullptr) {
    LogMessage(kLogStatusBar, kLogError, "Missing state <%s> on engine %s", m_current.c_str(),
               m_enginePath.c_str());
    return;
  }
  const LoadedState& state = *m_state;
  std::string subexpression1;
  for (size_t i = 0; i < state.state.instructions.size(); ++i) {
    const ScriptInstruction& instruction = state.state.instructions[i];
    const Prepared& prepared = state.prepared[i];
    // Only SETHREF and STORE read the sub-expression; sparing the others the match details
    // keeps the common instruction cheap.
    bool wantsMatch =
        instruction.actionKind == kActionSetHref || instruction.actionKind == kActionStore;
    bool hasMatch = false;
    if (!Matches(instruction, prepared, token, wantsMatch ? &subexpression1 : nullptr, &hasMatch)) {
      continue;
    }
    QueueAction(token, instruction, hasMatch ? &subexpression1 : nullptr);
    if (prepared.continues) {
      continue;
    }
    GoTo(instruction.nextState);
    return;
  }
}

bool ScriptRunner::Matches(const ScriptInstruction& instruction, const Prepared& prepared,
                           const PageToken& token, std::string* subexpression1,
                           bool* hasMatch) const {
  switch (instruction.kind) {
    case kInstructionSearchText:
      if (instruction.pattern == nullptr ||
          !instruction.pattern->Search(token.text(), subexpression1)) {
        return false;
      }
      *hasMatch = subexpression1 != nullptr;
      return true;
    case kInstructionColumn:
      return token.tagId() == kTagTd && prepared.column > 0 && token.IsColumn(prepared.column);
    case kInstructionTag:
      return token.tagId() == prepared.tagId;
    case kInstructionEndTag:
      return EqualsLowered(token.text(), prepared.endTag);
    case kInstructionText:
      return token.text() == instruction.argument;
    case kInstructionDo:
      return true;
    default:
      return false;
  }
}

void ScriptRunner::QueueAction(const PageToken& token, const ScriptInstruction& instruction,
                               const std::string* subexpression1) {
  const int kind = instruction.actionKind;
  if (kind == kActionNone) {
    return;
  }
  ScriptAction action;
  action.kind = kind;
  switch (kind) {
    case kActionStartResult:
      // Set at once so that this token is appended too; the job empties the text afterwards.
      m_collecting = true;
      Trace("Add Action start collecting result\n");
      break;
    case kActionSendResultPage:
      action.text = token.text();
      break;
    case kActionSendResultPageTag:
      action.kind = kActionSendResultPage;
      action.text = token.GetHref();
      action.argument = instruction.actionArgument;
      break;
    case kActionSendResult:
      action.text = m_collected;
      // Cleared at once so that the token that ends the result is not part of it.
      m_collecting = false;
      break;
    case kActionSendPostPageTag:
    case kActionSendGetPageTag:
      action.text = token.GetFormAction();
      break;
    case kActionSaveInputValue:
      action.name = token.GetAttribute("name");
      action.value = token.GetAttribute("value");
      break;
    case kActionSetHref:
    case kActionStore:
      // Without a pattern match (any instruction but SEARCHTEXT) the token's own text is the
      // only value there is to take.
      action.text = subexpression1 != nullptr ? *subexpression1 : std::string(token.text());
      break;
    case kActionSet:
    case kActionGet:
    case kActionGetLater:
    case kActionAddResult:
    case kActionPostLater:
      action.text = instruction.argument;
      break;
    case kActionNextPage:
      action.argument = instruction.actionArgument;
      break;
    default:
      break;
  }
  if (kind != kActionStartResult && TraceEnabled()) {
    Trace("Add Action %s %s\n", ActionKeyword(kind), action.text.c_str());
  }
  m_actions.push_back(std::move(action));
}

void ScriptRunner::AddSavedInput(std::string name, std::string value) {
  m_savedInputs.emplace_back(std::move(name), std::move(value));
}

}  // namespace tulix
