// The engine script runner: the state machine that decides, token by token, where on a fetched
// page a result begins and ends, which links lead to more results and when the page is done.
//
// A script is a set of named states kept in the engine's state file. Each state is an ordered
// list of instruction lines "KEYWORD|next state|argument|ACTION|action argument". The search job
// hands every token of a page to Step(); the first instruction of the current state that matches
// the token queues its action (a ScriptAction record, carried out by the job once the token is
// handled) and moves the runner to its next state. States are read from the file on first entry
// and kept for the life of the runner.
//
// Ownership: a runner owns its states, its action queue and its saved input values. It refers
// to the engine definition and to the scanner of the page being walked without owning them; the
// engine must outlive the runner, the scanner must outlive the page (StartPage to the end of the
// walk).
//
// Thread safety: a runner belongs to one search job and is used by that job's worker thread
// only. Several runners of one engine may run at once on different threads; each loads its own
// copy of the states.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "definitions/engine_definition.h"

namespace tulix {

class PageScanner;
class PageToken;

// Instruction kinds, in the order of their keywords.
enum InstructionKind : int {
  kInstructionSearchText = 0,  // SEARCHTEXT: the pattern is found in the token's text; no
                               // argument, no pattern: the line matches nothing
  kInstructionColumn = 1,      // COLUMN: a td start tag in column n of its row
  kInstructionTag = 2,         // TAG: the token's tag id is that of "<argument>"
  kInstructionEndTag = 3,      // ENDTAG: the token's text is "</argument>", any case
  kInstructionText = 4,        // TEXT: the trimmed token text equals the argument
  kInstructionDo = 5,          // DO: every token
};

// Action kinds, in the order of their keywords. The record of SENDRESULTPAGETAG has the kind
// of SENDRESULTPAGE, so kActionSendResultPageTag never appears in a queued record.
enum ActionKind : int {
  kActionStartResult = 0,
  kActionSendResultPage = 1,
  kActionSendResultPageTag = 2,
  kActionSendResult = 3,
  kActionRewindOne = 4,
  kActionSendPostPageTag = 5,
  kActionSendGetPageTag = 6,
  kActionSaveInputValue = 7,
  kActionSetHref = 8,
  kActionStore = 9,
  kActionSet = 10,
  kActionGet = 11,
  kActionGetLater = 12,
  kActionAddResult = 13,
  kActionMarkTitleEnd = 14,
  kActionPostLater = 15,
  kActionNextPage = 16,
  kActionRepeatRequest = 17,
  kActionNone = 18,  // an instruction without an action
};

// The keyword of an instruction or action kind ("SEARCHTEXT", "STARTRESULT", ...); "" for a
// value outside the tables.
const char* InstructionKeyword(int kind);
const char* ActionKeyword(int kind);

// A compiled SEARCHTEXT pattern (Perl syntax, case-sensitive). The regular-expression library
// stays in the .cpp file. Immutable once built.
class ScriptPattern;

// Whether the compiled pattern is found anywhere in `text`, as SEARCHTEXT decides it.
// `*subexpression1` (when given) receives the first sub-expression of the match.
bool SearchScriptPattern(const ScriptPattern& pattern, std::string_view text,
                         std::string* subexpression1 = nullptr);

// The longest piece of plain text that every match of `pattern` contains, "" when that is not
// certain. A token without it cannot match, so it is turned down by a substring search instead
// of the matcher; anything the pattern might mean otherwise (alternatives, options, escapes
// with operands, quantified characters) gives "" rather than a piece that could be wrong.
std::string RequiredLiteral(std::string_view pattern);

// One parsed instruction line.
struct ScriptInstruction {
  int kind = kInstructionSearchText;
  std::string nextState;  // a state name, "CONTINUE" or "FINISHED", maybe after "-" signs
  std::string argument;
  // Present only for SEARCHTEXT with a non-empty argument that compiled.
  std::shared_ptr<const ScriptPattern> pattern;
  int actionKind = kActionNone;
  std::string actionArgument;
};

struct ScriptState {
  std::string name;
  std::vector<ScriptInstruction> instructions;
};

// One queued action: built by the runner when an instruction matches, carried out by the job
// after the token has been handled. Fields an action does not use stay empty.
struct ScriptAction {
  int kind = kActionStartResult;
  std::string text;
  std::string name;
  std::string value;
  std::string argument;
};

// A script's number argument (COLUMN, NEXTPAGE) read as C reads a decimal number: blanks, a
// sign, then the leading digits; anything else reads as 0. Kept within the int range.
int ReadScriptNumber(std::string_view text);

// Parses one instruction line. Logs "Bad instruction %s" / "Bad action %s" for unknown
// keywords (the line then reads as SEARCHTEXT / STARTRESULT).
ScriptInstruction ParseInstruction(const ScriptLine& line);

class ScriptRunner {
 public:
  // Sets the page counter to the engine's `page` value and enters START.
  explicit ScriptRunner(const EngineDefinition& engine);
  ~ScriptRunner();
  ScriptRunner(const ScriptRunner&) = delete;
  ScriptRunner& operator=(const ScriptRunner&) = delete;

  // Before the first token of a page. A non-empty `startState` (the start state of the request
  // that fetched the page) becomes the resume state; the runner then enters the resume state,
  // or START when there is none. Clears the saved input values.
  void StartPage(PageScanner& scanner, const std::string& startState);
  // Runs the current state on one token of the page given to StartPage.
  void Step(const PageToken& token);
  bool IsFinished() const { return m_current == "FINISHED"; }
  // The page ends here and the next page starts in the state just entered.
  void StopPage();
  // The job's next Next() returns the token just handled again. Nothing while no page is walked.
  void RewindOne();
  // Enters `name`, rewinding once for each leading "-".
  void GoTo(std::string_view name);
  // Drops the scanner reference at the end of a page (the scanner is about to go).
  void EndPage() { m_scanner = nullptr; }

  // The actions queued by Step, in order. The job carries them out, then clears them.
  const std::vector<ScriptAction>& Actions() const { return m_actions; }
  std::vector<ScriptAction> TakeActions() { return std::exchange(m_actions, {}); }
  void ClearActions() { m_actions.clear(); }

  // Name/value pairs saved from the page's input tags (SAVEINPUTVALUE).
  void AddSavedInput(std::string name, std::string value);
  const std::vector<std::pair<std::string, std::string>>& SavedInputs() const {
    return m_savedInputs;
  }
  void ClearSavedInputs() { m_savedInputs.clear(); }

  int GetPageCounter() const { return m_counters.page; }
  void AddToPageCounter(int n) { m_counters.page += n; }
  const std::string& GetStoredValue() const { return m_counters.storedValue; }
  void SetStoredValue(std::string text) { m_counters.storedValue = std::move(text); }
  // What placeholder substitution needs from the runner (page counter and stored value).
  const ScriptCounters& Counters() const { return m_counters; }

  // The text of the result being collected.
  bool IsCollecting() const { return m_collecting; }
  void SetCollecting(bool on) { m_collecting = on; }
  const std::string& CollectedText() const { return m_collected; }
  void SetCollectedText(std::string text) { m_collected = std::move(text); }
  void AppendCollectedText(std::string_view text) { m_collected.append(text); }

  const std::string& CurrentState() const { return m_current; }
  const std::string& ResumeState() const { return m_resume; }
  void SetResumeState(std::string state) { m_resume = std::move(state); }
  const EngineDefinition& Engine() const { return m_engine; }
  // The state of that name when it is loaded, else null.
  const ScriptState* FindState(std::string_view name) const;

 private:
  // A loaded state with what Step needs worked out once per instruction (tag id, column,
  // end tag text, whether it continues), so matching a token costs a few comparisons.
  struct LoadedState;
  struct Prepared;

  void LoadState(const std::string& name);
  // Points m_state at the loaded state named m_current, or null when it is not loaded.
  void FindCurrentState();
  bool Matches(const ScriptInstruction& instruction, const Prepared& prepared,
               const PageToken& token, std::string* subexpression1, bool* hasMatch) const;
  void QueueAction(const PageToken& token, const ScriptInstruction& instruction,
                   const std::string* subexpression1);

  const EngineDefinition& m_engine;
  std::string m_enginePath;  // the engine's relative path, for messages
  PageScanner* m_scanner = nullptr;
  std::string m_current;
  const LoadedState* m_state = nullptr;  // the loaded state named m_current, or null
  std::string m_resume;
  std::vector<std::unique_ptr<LoadedState>> m_states;
  std::vector<ScriptAction> m_actions;
  std::vector<std::pair<std::string, std::string>> m_savedInputs;
  std::string m_collected;
  bool m_collecting = false;
  ScriptCounters m_counters;
};

}  // namespace tulix
