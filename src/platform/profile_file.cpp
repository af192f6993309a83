#include "platform/profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iterator>
#include <list>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/program_lifetime.h"

namespace tulix {

namespace {

// ---------------------------------------------------------------------------------------------
// Text rules

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) {
    s.remove_prefix(1);
  }
  while (!s.empty() && IsBlank(s.back())) {
    s.remove_suffix(1);
  }
  return s;
}

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view s) {
  std::string lower(s);
  for (char& c : lower) {
    c = LowerAscii(c);
  }
  return lower;
}

// `lower` is already lower-cased.
bool EqualsLower(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) {
    return false;
  }
  for (size_t i = 0; i < s.size(); ++i) {
    if (LowerAscii(s[i]) != lower[i]) {
      return false;
    }
  }
  return true;
}

enum class Eol : uint8_t { kNone, kLf, kCrLf, kCr };

std::string_view EolText(Eol eol) {
  switch (eol) {
    case Eol::kLf:
      return "\n";
    case Eol::kCrLf:
      return "\r\n";
    case Eol::kCr:
      return "\r";
    case Eol::kNone:
      break;
  }
  return {};
}

enum class LineKind : uint8_t { kOther, kKey, kHeader };

struct LineMeaning {
  LineKind kind = LineKind::kOther;
  std::string_view name;  // the section name of a header, the key name of a key line
};

// What a line of the file means: blank lines, comments and lines without '=' mean nothing to a
// lookup but stay in the file.
LineMeaning Classify(std::string_view text) {
  std::string_view t = Trim(text);
  if (t.empty() || t.front() == ';') {
    return {};
  }
  if (t.front() == '[') {
    size_t close = t.rfind(']');
    if (close != std::string_view::npos) {
      return {LineKind::kHeader, Trim(t.substr(1, close - 1))};
    }
  }
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) {
    return {};
  }
  return {LineKind::kKey, Trim(t.substr(0, eq))};
}

// The value of a key line as a reader sees it: trimmed, one pair of enclosing quotes removed,
// and ended at a NUL byte as a C string would be.
std::string_view ValueOf(std::string_view keyLine) {
  std::string_view v = Trim(keyLine.substr(keyLine.find('=') + 1));
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  return v.substr(0, v.find('\0'));
}

// ---------------------------------------------------------------------------------------------
// The parsed file

// Where a parsed file keeps its lines, sections and names: a run of blocks handed out in order
// and given back all at once when the file is forgotten. A saved search of 20,000 results is
// some 200,000 lines; taking each from the general heap was a large share of the work and
// scattered a section's lines over memory.
class Arena : public std::pmr::memory_resource {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() override { Release(); }

  size_t Allocated() const { return m_allocated; }
  // What the blocks take from the heap, unused ends included.
  size_t Reserved() const { return m_reserved; }

  // Only once nothing allocated here is in use any more.
  void Release() {
    for (void* block : m_blocks) {
      ::operator delete(block);
    }
    m_blocks.clear();
    m_next = nullptr;
    m_left = 0;
    m_allocated = 0;
    m_reserved = 0;
  }

 private:
  // Blocks stay below the size the heap serves from fresh pages of its own, so that the
  // blocks of a forgotten file are reused without new page faults.
  static constexpr size_t kBlockSize = 64 * 1024;

  void* do_allocate(size_t bytes, size_t alignment) override {
    m_allocated += bytes;
    size_t pad = (alignment - reinterpret_cast<uintptr_t>(m_next) % alignment) % alignment;
    if (m_next == nullptr || pad + bytes > m_left) {
      if (bytes + alignment > kBlockSize / 4) {
        // A long line gets a block of its own.
        m_blocks.push_back(::operator new(bytes + alignment));
        m_reserved += bytes + alignment;
        void* start = m_blocks.back();
        size_t space = bytes + alignment;
        return std::align(alignment, bytes, start, space);
      }
      m_blocks.push_back(::operator new(kBlockSize));
      m_reserved += kBlockSize;
      m_next = static_cast<char*>(m_blocks.back());
      m_left = kBlockSize;
      pad = (alignment - reinterpret_cast<uintptr_t>(m_next) % alignment) % alignment;
    }
    char* result = m_next + pad;
    m_next = result + bytes;
    m_left -= pad + bytes;
    return result;
  }
  void do_deallocate(void*, size_t, size_t) override {}
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  std::vector<void*> m_blocks;
  char* m_next = nullptr;
  size_t m_left = 0;
  size_t m_allocated = 0;
  size_t m_reserved = 0;
};

struct Line {
  std::pmr::string text;  // without its line end
  Eol eol = Eol::kNone;
  LineKind kind = LineKind::kOther;
};
using Lines = std::pmr::list<Line>;
using LineIt = Lines::iterator;

// Sections up to this many keys are searched line by line; larger ones (a saved search's list
// of results) get a hash index on first use.
constexpr size_t kLinearKeys = 12;

// The first line with a name and how many lines carry it, so that removing the first one only
// looks for the next when there is one.
template <typename It>
struct FirstOf {
  It first;
  size_t count = 1;
};

struct Section {
  explicit Section(Arena* arena) : lines(arena) {}

  bool named = false;     // false only for the lines before the first header
  std::string lowerName;  // lower-cased name of a named section
  Lines lines;            // a named section's first line is its header
  size_t keyCount = 0;
  bool indexed = false;
  std::unordered_map<std::string, FirstOf<LineIt>> index;  // lower-cased key name, when indexed

  void BuildIndex() {
    for (auto it = lines.begin(); it != lines.end(); ++it) {
      if (it->kind == LineKind::kKey) {
        AddToIndex(Lower(Classify(it->text).name), it);
      }
    }
    indexed = true;
  }

  void AddToIndex(std::string lowerKey, LineIt it) {
    auto [entry, added] = index.try_emplace(std::move(lowerKey), FirstOf<LineIt>{it});
    if (!added) {
      ++entry->second.count;
    }
  }

  LineIt FindKey(const std::string& lowerKey) {
    if (!indexed && keyCount > kLinearKeys) {
      BuildIndex();
    }
    if (indexed) {
      auto found = index.find(lowerKey);
      return found == index.end() ? lines.end() : found->second.first;
    }
    for (auto it = lines.begin(); it != lines.end(); ++it) {
      if (it->kind == LineKind::kKey && EqualsLower(Classify(it->text).name, lowerKey)) {
        return it;
      }
    }
    return lines.end();
  }

  // New keys go after the last key line, so that comments and blank lines that close the
  // section stay in front of the next header. Without keys, right after the header.
  LineIt InsertionPoint() {
    auto it = lines.end();
    while (it != lines.begin()) {
      --it;
      if (it->kind != LineKind::kOther) {
        return std::next(it);
      }
    }
    return lines.end();
  }

  LineIt InsertKey(LineIt before, Line line, std::string lowerKey) {
    LineIt it = lines.insert(before, std::move(line));
    ++keyCount;
    if (indexed) {
      AddToIndex(std::move(lowerKey), it);
    }
    return it;
  }

  // `it` is the first key line named `lowerKey`.
  void EraseKey(LineIt it, const std::string& lowerKey) {
    LineIt next = lines.erase(it);
    --keyCount;
    if (!indexed) {
      return;
    }
    auto entry = index.find(lowerKey);
    if (--entry->second.count == 0) {
      index.erase(entry);
      return;
    }
    for (; next != lines.end(); ++next) {
      if (next->kind == LineKind::kKey && EqualsLower(Classify(next->text).name, lowerKey)) {
        entry->second.first = next;
        return;
      }
    }
  }
};

using Sections = std::pmr::list<Section>;
using SectionIt = Sections::iterator;

class Document {
 public:
  Document() { Clear(); }

  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  void Clear() {
    m_recent = nullptr;
    m_sections.clear();
    Names(&m_arena).swap(m_byName);  // clear() would keep its buckets, which live in the arena
    m_arena.Release();
    m_sections.emplace_back(&m_arena);  // the lines before the first header
    m_eol = Eol::kCrLf;
  }

  // Gives back all memory, the arena's first block included. The document must be cleared
  // (or parsed) before its next use.
  void Release() {
    m_recent = nullptr;
    m_sections.clear();
    Names(&m_arena).swap(m_byName);
    m_arena.Release();
  }

  // Replaced and deleted lines leave their space in the arena until the file is read again.
  size_t MemoryUsed() const { return m_arena.Allocated(); }
  // The heap the parsed text holds (its key indexes come on top).
  size_t Footprint() const { return m_arena.Reserved(); }

  void Parse(std::string_view content) {
    Clear();
    bool eolSeen = false;
    Section* current = &m_sections.back();
    size_t pos = 0;
    while (pos < content.size()) {
      size_t end = pos;
      while (end < content.size() && content[end] != '\r' && content[end] != '\n') {
        ++end;
      }
      Line line{std::pmr::string(content.substr(pos, end - pos), &m_arena), Eol::kNone,
                LineKind::kOther};
      pos = end;
      if (end < content.size()) {
        if (content[end] == '\n') {
          line.eol = Eol::kLf;
          pos = end + 1;
        } else if (end + 1 < content.size() && content[end + 1] == '\n') {
          line.eol = Eol::kCrLf;
          pos = end + 2;
        } else {
          line.eol = Eol::kCr;
          pos = end + 1;
        }
        if (!eolSeen) {
          m_eol = line.eol;  // new lines follow the file's first line end
          eolSeen = true;
        }
      }
      LineMeaning meaning = Classify(line.text);
      line.kind = meaning.kind;
      if (meaning.kind == LineKind::kHeader) {
        current = &AddSection(Lower(meaning.name));
      } else if (meaning.kind == LineKind::kKey) {
        ++current->keyCount;
      }
      current->lines.push_back(std::move(line));
    }
  }

  // Hands the text to `sink` in pieces, in file order.
  template <typename Sink>
  void WriteTo(Sink& sink) const {
    for (const Section& section : m_sections) {
      for (const Line& line : section.lines) {
        sink.Append(line.text);
        sink.Append(EolText(line.eol));
      }
    }
  }

  Section* FindSection(const std::string& lowerName) {
    // Callers read and write a section's keys one after another: most lookups repeat the last.
    if (m_recent != nullptr && m_recent->lowerName == lowerName) {
      return m_recent;
    }
    auto found = m_byName.find(lowerName);
    if (found == m_byName.end()) {
      return nullptr;
    }
    m_recent = &*found->second.first;
    return m_recent;
  }

  // Each section name followed by a NUL, in file order.
  std::string SectionNames() const {
    std::string names;
    for (const Section& section : m_sections) {
      if (!section.named) {
        continue;
      }
      std::string_view name = Classify(section.lines.front().text).name;
      if (!name.empty()) {
        names.append(name);
        names += '\0';
      }
    }
    return names;
  }

  // Sets a key's value; false when the file already says exactly that.
  bool SetValue(std::string_view sectionName, std::string_view keyName, std::string_view value) {
    std::string lowerSection = Lower(sectionName);
    std::string lowerKey = Lower(keyName);
    Section* section = FindSection(lowerSection);
    if (section == nullptr) {
      EndLastLine();
      section = &AddSection(std::move(lowerSection));
      std::pmr::string header(&m_arena);
      header.reserve(sectionName.size() + 2);
      header += '[';
      header.append(sectionName);
      header += ']';
      section->lines.push_back(Line{std::move(header), m_eol, LineKind::kHeader});
      section->InsertKey(section->lines.end(), KeyLine(keyName, value), std::move(lowerKey));
      return true;
    }
    LineIt it = section->FindKey(lowerKey);
    if (it != section->lines.end()) {
      // Only the value changes: the name keeps the file's spelling and spacing.
      size_t valueStart = it->text.find('=') + 1;
      if (std::string_view(it->text).substr(valueStart) == value) {
        return false;
      }
      it->text.replace(valueStart, std::string::npos, value);
      return true;
    }
    LineIt before = section->InsertionPoint();
    std::prev(before)->eol = EndOf(std::prev(before)->eol);
    section->InsertKey(before, KeyLine(keyName, value), std::move(lowerKey));
    return true;
  }

  bool DeleteKey(std::string_view sectionName, std::string_view keyName) {
    Section* section = FindSection(Lower(sectionName));
    if (section == nullptr) {
      return false;
    }
    std::string lowerKey = Lower(keyName);
    LineIt it = section->FindKey(lowerKey);
    if (it == section->lines.end()) {
      return false;
    }
    section->EraseKey(it, lowerKey);
    return true;
  }

  // Removes the first section of the name with every line up to the next header.
  bool DeleteSection(std::string_view sectionName) {
    std::string lowerName = Lower(sectionName);
    auto found = m_byName.find(lowerName);
    if (found == m_byName.end()) {
      return false;
    }
    m_recent = nullptr;
    SectionIt next = m_sections.erase(found->second.first);
    if (--found->second.count == 0) {
      m_byName.erase(found);
      return true;
    }
    while (next->lowerName != lowerName || !next->named) {
      ++next;  // the count says a later section has the name
    }
    found->second.first = next;
    return true;
  }

 private:
  Section& AddSection(std::string lowerName) {
    Section& section = m_sections.emplace_back(&m_arena);
    section.named = true;
    section.lowerName = lowerName;
    auto [entry, added] =
        m_byName.try_emplace(std::move(lowerName), FirstOf<SectionIt>{std::prev(m_sections.end())});
    if (!added) {
      ++entry->second.count;
    }
    return section;
  }

  Line KeyLine(std::string_view keyName, std::string_view value) {
    std::pmr::string text(&m_arena);
    text.reserve(keyName.size() + 1 + value.size());
    text.append(keyName);
    text += '=';
    text.append(value);
    return Line{std::move(text), m_eol, LineKind::kKey};
  }

  // A file without a final line break gets one before anything is added after its last line.
  Eol EndOf(Eol eol) const { return eol == Eol::kNone ? m_eol : eol; }

  void EndLastLine() {
    for (auto it = m_sections.rbegin(); it != m_sections.rend(); ++it) {
      if (!it->lines.empty()) {
        it->lines.back().eol = EndOf(it->lines.back().eol);
        return;
      }
    }
  }

  using Names = std::pmr::unordered_map<std::string, FirstOf<SectionIt>>;

  Arena m_arena;  // first: it outlives everything allocated from it
  Eol m_eol = Eol::kCrLf;
  Sections m_sections{&m_arena};  // the front one holds the lines before the first header
  Names m_byName{&m_arena};       // lower-cased section names
  Section* m_recent = nullptr;    // the first section of the name last looked up, or null
};

// ---------------------------------------------------------------------------------------------
// The file on disk

// What identifies one version of a file: a replacement by rename changes the inode, an edit in
// place the size or the modification time.
struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t mtimeSec = 0;
  int64_t mtimeNsec = 0;

  static FileStamp Of(const struct stat& st) {
    return {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
  }
  bool operator==(const FileStamp&) const = default;
};

// Returns 0 or the errno of the failure.
int ReadFile(const std::string& path, std::string* content, FileStamp* stamp) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  struct stat st;
  int err = ::fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EISDIR);
  if (err != 0) {
    ::close(fd);  // a folder, a device or a pipe is not a profile file
    return err;
  }
  // The stamp is taken before reading: a change made while we read shows as a newer stamp.
  *stamp = FileStamp::Of(st);
  content->clear();
  content->reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      err = errno;
      ::close(fd);
      return err;
    }
    if (n == 0) {
      break;
    }
    content->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return 0;
}

// Collects text in a buffer of a fixed size and writes it to a file when full: a file of
// several megabytes is written without building it whole in memory first.
class FileSink {
 public:
  explicit FileSink(int fd) : m_fd(fd) { m_buffer.reserve(kSize); }

  void Append(std::string_view text) {
    if (m_buffer.size() + text.size() > kSize) {
      Flush();
    }
    if (text.size() >= kSize) {
      Write(text);
    } else {
      m_buffer.append(text);
    }
  }

  // Returns 0 or the errno of the first failed write.
  int Finish() {
    Flush();
    return m_error;
  }

 private:
  static constexpr size_t kSize = 1 << 16;

  void Flush() {
    Write(m_buffer);
    m_buffer.clear();
  }

  void Write(std::string_view text) {
    while (!text.empty() && m_error == 0) {
      ssize_t n = ::write(m_fd, text.data(), text.size());
      if (n < 0 && errno != EINTR) {
        m_error = errno;
      } else if (n > 0) {
        text.remove_prefix(static_cast<size_t>(n));
      }
    }
  }

  int m_fd;
  int m_error = 0;
  std::string m_buffer;
};

// Writes a temporary file beside `path` and renames it over `path`, so that readers see either
// the old file or the new one. Returns 0 or the errno of the failure.
int ReplaceFile(const std::string& path, const Document& doc, FileStamp* stamp) {
  static std::atomic<uint64_t> counter{0};
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp = folder + "." + base.substr(0, 64) + ".tmp" + std::to_string(::getpid()) + "-" +
                     std::to_string(counter.fetch_add(1));

  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    return errno;
  }
  struct stat old;
  if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    ::fchmod(fd, old.st_mode & 07777);  // best effort: the replacement keeps the permissions
  }
  FileSink sink(fd);
  doc.WriteTo(sink);
  int err = sink.Finish();
  struct stat st;
  if (err == 0 && ::fstat(fd, &st) != 0) {
    err = errno;
  }
  if (::close(fd) != 0 && err == 0) {
    err = errno;
  }
  if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) {
    err = errno;
  }
  if (err != 0) {
    ::unlink(temp.c_str());
    return err;
  }
  // rename keeps the inode and the modification time of the file we wrote.
  *stamp = FileStamp::Of(st);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The cache

struct CachedFile {
  explicit CachedFile(std::string fsPath) : path(std::move(fsPath)) {}

  const std::string path;  // file-system path

  std::mutex mutex;  // guards everything below but the atomics
  Document doc;
  FileStamp stamp;  // of the file `doc` was read from or last written to
  bool loaded = false;
  int loadError = 0;   // errno when the file exists but could not be read
  bool dirty = false;  // `doc` holds changes not yet written
  int batchDepth = 0;

  // For the cache's bound; written under `mutex`, read by the cache without it.
  std::atomic<uint64_t> lastUse{0};  // the cache's tick at the last call on the file
  std::atomic<size_t> charged{0};    // doc.Footprint() as last counted in the cache's total
};

bool Flush(CachedFile& file);

// Every file in use has exactly one entry, so that all threads and batches working on a file
// share its lock and its pending changes. Parsed files are kept for the next call, within a
// bound on their number and their memory: beyond it, the least recently used files that no one
// is working on are forgotten (re-read on their next use). A file with pending batch changes,
// or whose lock is held at that moment, is never forgotten. An entry leaves the map only when
// nothing but the map refers to it, so no one can still hold it: every other reference is
// copied from the map under m_mutex, which the removal holds.
class ProfileCache {
 public:
  std::shared_ptr<CachedFile> Get(const std::string& fsPath) {
    std::lock_guard lock(m_mutex);
    m_tick.fetch_add(1, std::memory_order_relaxed);
    auto& file = m_files[fsPath];
    if (!file) {
      file = std::make_shared<CachedFile>(fsPath);
    }
    return file;
  }

  std::vector<std::shared_ptr<CachedFile>> All() {
    std::lock_guard lock(m_mutex);
    std::vector<std::shared_ptr<CachedFile>> files;
    files.reserve(m_files.size());
    for (auto& [path, file] : m_files) {
      files.push_back(file);
    }
    return files;
  }

  // Counts what the file holds now and marks it used; the caller holds file.mutex.
  void Settle(CachedFile& file) {
    file.lastUse.store(m_tick.load(std::memory_order_relaxed), std::memory_order_relaxed);
    size_t now = file.doc.Footprint();
    size_t before = file.charged.load(std::memory_order_relaxed);
    if (now == before) {
      return;
    }
    file.charged.store(now, std::memory_order_relaxed);
    m_bytes.fetch_add(now - before, std::memory_order_relaxed);  // wraps to a subtraction
    if (before == 0) {
      m_parsedFiles.fetch_add(1, std::memory_order_relaxed);
    } else if (now == 0) {
      m_parsedFiles.fetch_sub(1, std::memory_order_relaxed);
    }
  }

  // Keeps the cache within its bound; `current` is the file just used, which stays. The caller
  // holds no file's lock.
  void Trim(const CachedFile* current) {
    if (!Over(m_maxBytes.load(std::memory_order_relaxed),
              m_maxFiles.load(std::memory_order_relaxed))) {
      return;
    }
    std::lock_guard lock(m_mutex);
    // Forgetting goes on to a little below the bound, so that the next few files read do not
    // each pay for a pass over the whole cache.
    size_t maxBytes = m_maxBytes.load(std::memory_order_relaxed);
    size_t maxFiles = m_maxFiles.load(std::memory_order_relaxed);
    size_t lowBytes = maxBytes - maxBytes / 8;
    size_t lowFiles = maxFiles - maxFiles / 8;
    std::vector<std::pair<uint64_t, CachedFile*>> byAge;
    byAge.reserve(m_files.size());
    for (auto& [path, file] : m_files) {
      if (file.get() != current && file->charged.load(std::memory_order_relaxed) > 0) {
        byAge.emplace_back(file->lastUse.load(std::memory_order_relaxed), file.get());
      }
    }
    std::sort(byAge.begin(), byAge.end());
    for (auto& [age, file] : byAge) {
      if (!Over(lowBytes, lowFiles)) {
        break;
      }
      Forget(*file);
    }
    DropUnused();
  }

  // Forgets every file no one is working on; the others lose their parsed text only.
  void Clear() {
    for (const std::shared_ptr<CachedFile>& cached : All()) {
      std::lock_guard lock(cached->mutex);
      if (cached->dirty) {
        Flush(*cached);
      }
      Release(*cached);
    }
    std::lock_guard lock(m_mutex);
    DropUnused();
  }

  ProfileCacheUsage Usage() const {
    return {m_parsedFiles.load(std::memory_order_relaxed), m_bytes.load(std::memory_order_relaxed)};
  }

  void SetLimits(size_t maxBytes, size_t maxFiles) {
    m_maxBytes.store(std::max<size_t>(maxBytes, 1), std::memory_order_relaxed);
    m_maxFiles.store(std::max<size_t>(maxFiles, 1), std::memory_order_relaxed);
  }

 private:
  bool Over(size_t maxBytes, size_t maxFiles) const {
    return m_bytes.load(std::memory_order_relaxed) > maxBytes ||
           m_parsedFiles.load(std::memory_order_relaxed) > maxFiles;
  }

  // Drops the parsed text; the caller holds file.mutex and the file has nothing pending.
  void Release(CachedFile& file) {
    file.doc.Release();
    file.loaded = false;
    file.loadError = 0;
    Settle(file);
  }

  // The caller holds m_mutex. A file another thread is working on right now is left alone;
  // waiting for it here, under the cache's lock, could deadlock with that thread.
  void Forget(CachedFile& file) {
    std::unique_lock fileLock(file.mutex, std::try_to_lock);
    if (fileLock.owns_lock() && file.batchDepth == 0 && !file.dirty) {
      Release(file);
    }
  }

  // Removes the entries that hold no parsed text and that nothing but the map refers to. The
  // caller holds m_mutex.
  void DropUnused() {
    for (auto it = m_files.begin(); it != m_files.end();) {
      CachedFile& file = *it->second;
      bool unused = false;
      if (it->second.use_count() == 1) {
        // No one else can reach the entry; its lock is free unless a batch is pending on it.
        std::lock_guard fileLock(file.mutex);
        unused = file.batchDepth == 0 && !file.dirty &&
                 file.charged.load(std::memory_order_relaxed) == 0;
      }
      it = unused ? m_files.erase(it) : std::next(it);
    }
  }

  std::mutex m_mutex;
  std::unordered_map<std::string, std::shared_ptr<CachedFile>> m_files;  // guarded by m_mutex
  std::atomic<uint64_t> m_tick{0};       // advances when a thread turns to another file
  std::atomic<size_t> m_bytes{0};        // sum of the entries' `charged`
  std::atomic<size_t> m_parsedFiles{0};  // entries whose `charged` is not 0
  std::atomic<size_t> m_maxBytes{kProfileCacheDefaultBytes};
  std::atomic<size_t> m_maxFiles{kProfileCacheDefaultFiles};
};

// Not destroyed at exit, so that a batch ending during program exit still finds it.
ProfileCache& Cache() {
  static auto& cache = MakeProgramLifetime<ProfileCache>();
  return cache;
}

// Callers mostly work on one file at a time: each thread remembers the last file it asked for,
// which spares the cache's lock and the path conversion. The thread's reference keeps that
// entry in the cache (only its parsed text may be forgotten, and is then read again), so the
// remembered entry is always the one every other thread gets for the file.
std::shared_ptr<CachedFile> CachedFileFor(const std::string& file) {
  thread_local std::string t_lastFile;
  thread_local std::shared_ptr<CachedFile> t_lastCached;
  if (t_lastCached == nullptr || file != t_lastFile) {
    t_lastCached = Cache().Get(ToFileSystemPath(file));
    t_lastFile = file;
  }
  return t_lastCached;
}

// Brings the cached copy up to date with the disk; the caller holds file.mutex. Pending batch
// changes win over the disk: they were made on the text read then, and are written as a whole.
void Refresh(CachedFile& file) {
  if (file.dirty) {
    return;
  }
  struct stat st;
  FileStamp now;
  if (::stat(file.path.c_str(), &st) == 0) {
    now = FileStamp::Of(st);
  } else if (errno != ENOENT && errno != ENOTDIR) {
    file.loaded = false;  // let the read below report what is wrong
  }
  if (file.loaded && now == file.stamp) {
    return;
  }
  std::string content;
  FileStamp stamp;
  int err = ReadFile(file.path, &content, &stamp);
  file.doc.Clear();
  file.stamp = FileStamp{};
  file.loadError = 0;
  if (err == 0) {
    file.doc.Parse(content);
    file.stamp = stamp;
  } else if (err != ENOENT && err != ENOTDIR) {
    // The file is there but unreadable: reads give defaults, writes refuse to replace it.
    file.loadError = err;
    file.loaded = false;
    return;
  }
  file.loaded = true;
}

// Writes the cached copy; the caller holds file.mutex. On failure the cached copy is dropped,
// so that it never claims what the disk does not hold.
bool Flush(CachedFile& file) {
  FileStamp stamp;
  int err = ReplaceFile(file.path, file.doc, &stamp);
  file.dirty = false;
  if (err != 0) {
    file.doc.Release();
    file.loaded = false;
    // The temporary file goes into the file's folder: not finding it means the folder is missing.
    SetLastError(err == ENOENT ? kErrorPathNotFound : ErrorFromErrno(err));
    return false;
  }
  file.stamp = stamp;
  // A parsed file takes a few times its size; far more means replaced lines piled up, and
  // reading the file again gives their space back.
  if (file.doc.MemoryUsed() > 8 * static_cast<size_t>(stamp.size) + (1 << 20)) {
    file.doc.Release();
    file.loaded = false;
  }
  return true;
}

std::string DefaultValue(const char* def, size_t size) {
  std::string_view d = def == nullptr ? std::string_view() : std::string_view(def);
  while (!d.empty() && (d.back() == ' ' || d.back() == '\t')) {
    d.remove_suffix(1);
  }
  return std::string(d.substr(0, size - 1));
}

// `names` holds each name followed by a NUL; the list gets one more. A list too long for the
// caller's size is cut to size-2 characters and closed with two NULs.
std::string NameList(std::string names, size_t size) {
  names += '\0';
  if (names.size() <= size) {
    return names;
  }
  if (size < 2) {
    return std::string(size, '\0');
  }
  names.resize(size - 2);
  names.append(2, '\0');
  return names;
}

bool HasLineBreak(std::string_view s) {
  for (char c : s) {
    if (c == '\r' || c == '\n') {
      return true;
    }
  }
  return false;
}

// A name the caller writes must read back as itself, or the file's structure would change
// under it: no line break; in a key name no '=', and no ';' or '[' in front, which would make
// the line a comment or (with a ']' in the value) a section header.
bool IsWritableSectionName(std::string_view name) {
  return !HasLineBreak(name);
}

bool IsWritableKeyName(std::string_view name) {
  return !HasLineBreak(name) && name.find('=') == std::string_view::npos &&
         (name.empty() || (name.front() != ';' && name.front() != '['));
}

// A value holding a line break would split its line and add lines of its own; the break
// becomes a blank.
std::string_view OneLineValue(const char* value, std::string* storage) {
  std::string_view text(value);
  if (!HasLineBreak(text)) {
    return text;
  }
  *storage = text;
  for (char& c : *storage) {
    if (c == '\r' || c == '\n') {
      c = ' ';
    }
  }
  return *storage;
}

uint32_t ParseWindowsInt(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && static_cast<unsigned char>(s[i]) <= ' ') {
    ++i;
  }
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  uint32_t base = 10;
  if (i + 1 < s.size() && s[i] == '0') {
    switch (s[i + 1]) {
      case 'x':
        base = 16;
        break;
      case 'o':
        base = 8;
        break;
      case 'b':
        base = 2;
        break;
    }
    if (base != 10) {
      i += 2;
    }
  }
  uint32_t total = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    uint32_t digit = 99;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'z') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'Z') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    }
    if (digit >= base) {
      break;
    }
    total = total * base + digit;  // wraps modulo 2^32
  }
  return negative ? 0u - total : total;
}

// Whether a read of `section` and `key` can find anything at all; when not, it gives `def`.
bool IsReadableName(const char* section, const char* key) {
  std::string_view sectionName = section == nullptr ? "" : Trim(section);
  std::string_view keyName = key == nullptr ? "" : Trim(key);
  return section == nullptr || (!sectionName.empty() && (key == nullptr || !keyName.empty()));
}

// GetPrivateProfileString's answer from a parsed document; the names are readable ones.
std::string ReadValue(Document& doc, const char* section, const char* key, const char* def,
                      size_t size) {
  std::string_view sectionName = section == nullptr ? "" : Trim(section);
  std::string_view keyName = key == nullptr ? "" : Trim(key);
  if (section == nullptr) {
    return NameList(doc.SectionNames(), size);
  }
  Section* found = doc.FindSection(Lower(sectionName));
  if (found == nullptr) {
    return DefaultValue(def, size);
  }
  if (key == nullptr) {
    std::string names;
    for (const Line& line : found->lines) {
      if (line.kind == LineKind::kKey) {
        std::string_view name = Classify(line.text).name;
        if (!name.empty()) {
          names.append(name);
          names += '\0';
        }
      }
    }
    return names.empty() ? DefaultValue(def, size) : NameList(std::move(names), size);
  }
  LineIt it = found->FindKey(Lower(keyName));
  if (it == found->lines.end()) {
    return DefaultValue(def, size);
  }
  return std::string(ValueOf(it->text).substr(0, size - 1));
}

// The write itself, on the cached copy of the file; a null `keyName` deletes the section and
// a null `value` the key.
bool WriteCached(CachedFile& cached, std::string_view sectionName, const std::string_view* keyName,
                 const char* value) {
  std::lock_guard lock(cached.mutex);
  Refresh(cached);
  if (cached.loadError != 0) {
    SetLastError(ErrorFromErrno(cached.loadError));
    return false;
  }
  bool changed = false;
  if (keyName == nullptr) {
    changed = cached.doc.DeleteSection(sectionName);
  } else if (value == nullptr) {
    changed = cached.doc.DeleteKey(sectionName, *keyName);
  } else {
    std::string storage;
    changed = cached.doc.SetValue(sectionName, *keyName, OneLineValue(value, &storage));
  }
  bool written = true;
  if (changed) {
    cached.dirty = true;
    written = cached.batchDepth > 0 || Flush(cached);
  }
  Cache().Settle(cached);
  return written;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Interface

std::string GetPrivateProfileString(const char* section, const char* key, const char* def,
                                    const std::string& file, size_t size) {
  if (size == 0) {
    return {};
  }
  if (!IsReadableName(section, key)) {
    return DefaultValue(def, size);
  }
  std::shared_ptr<CachedFile> cached = CachedFileFor(file);
  std::string value;
  {
    std::lock_guard lock(cached->mutex);
    Refresh(*cached);
    value = ReadValue(cached->doc, section, key, def, size);
    Cache().Settle(*cached);
  }
  Cache().Trim(cached.get());
  return value;
}

struct ProfileText::Parsed {
  std::mutex mutex;  // a lookup remembers the section it found last
  Document doc;
};

ProfileText::ProfileText(std::string_view content) : m_parsed(std::make_unique<Parsed>()) {
  m_parsed->doc.Parse(content);
}

ProfileText::~ProfileText() = default;

std::string ProfileText::GetString(const char* section, const char* key, const char* def,
                                   size_t size) const {
  if (size == 0) {
    return {};
  }
  if (!IsReadableName(section, key)) {
    return DefaultValue(def, size);
  }
  std::lock_guard lock(m_parsed->mutex);
  return ReadValue(m_parsed->doc, section, key, def, size);
}

uint32_t GetPrivateProfileInt(const char* section, const char* key, int32_t def,
                              const std::string& file) {
  std::string value = GetPrivateProfileString(section, key, "", file);
  if (value.empty() || value.front() == '\0') {
    return static_cast<uint32_t>(def);
  }
  return ParseWindowsInt(value);
}

bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const std::string& file) {
  if (section == nullptr) {
    if (key == nullptr && value == nullptr) {
      std::shared_ptr<CachedFile> cached = CachedFileFor(file);
      std::lock_guard lock(cached->mutex);
      if (cached->dirty) {
        Flush(*cached);
        Cache().Settle(*cached);
      }
    }
    SetLastError(kErrorFileNotFound);
    return false;
  }
  if (file.empty()) {
    SetLastError(kErrorFileNotFound);
    return false;
  }
  std::string_view sectionName = Trim(section);
  std::string_view keyName = key == nullptr ? "" : Trim(key);
  if (!IsWritableSectionName(sectionName) || (key != nullptr && !IsWritableKeyName(keyName))) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }

  std::shared_ptr<CachedFile> cached = CachedFileFor(file);
  bool written = WriteCached(*cached, sectionName, key == nullptr ? nullptr : &keyName, value);
  Cache().Trim(cached.get());
  return written;
}

std::string ProfileQuoted(std::string_view value) {
  const bool blankAtAnEnd = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
  const bool enclosed = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                        value.back() == value.front();
  if (!blankAtAnEnd && !enclosed) {
    return std::string(value);
  }
  return std::string("\"").append(value).append("\"");
}

void ClearProfileCache() {
  Cache().Clear();
}

ProfileCacheUsage GetProfileCacheUsage() {
  return Cache().Usage();
}

void SetProfileCacheLimits(size_t maxBytes, size_t maxFiles) {
  Cache().SetLimits(maxBytes, maxFiles);
}

ProfileBatch::ProfileBatch(const std::string& file) : m_file(file) {
  std::shared_ptr<CachedFile> cached = CachedFileFor(m_file);
  std::lock_guard lock(cached->mutex);
  ++cached->batchDepth;
}

ProfileBatch::~ProfileBatch() {
  std::shared_ptr<CachedFile> cached = CachedFileFor(m_file);
  {
    std::lock_guard lock(cached->mutex);
    if (cached->batchDepth > 0 && --cached->batchDepth == 0 && cached->dirty) {
      Flush(*cached);
    }
    Cache().Settle(*cached);
  }
  Cache().Trim(cached.get());
}

bool ProfileBatch::Commit() {
  std::shared_ptr<CachedFile> cached = CachedFileFor(m_file);
  std::lock_guard lock(cached->mutex);
  bool written = !cached->dirty || Flush(*cached);
  Cache().Settle(*cached);
  return written;
}

}  // namespace tulix
