// The tag scanner on arbitrary pages: every token is asked what an engine script asks of it
// (its link, its form, attributes, its column), and the tree it was linked into is checked to
// be a tree of the scanner's own tokens in document order.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/page_scanner.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view page(reinterpret_cast<const char*>(data), size);
  tulix::PageScanner scanner(page);
  const tulix::PageToken* root = &scanner.Root();
  FUZZ_CHECK(root->tagId() == tulix::kRootTokenId);

  size_t walked = 0;
  for (const tulix::PageToken* token = scanner.First(); token != nullptr;
       token = scanner.Next()) {
    ++walked;
    FUZZ_CHECK(token == &scanner.At(walked));
    FUZZ_CHECK(token->index() == walked);
    const tulix::PageToken* parent = token->parent();
    FUZZ_CHECK(parent != nullptr && parent->index() < token->index());
    FUZZ_CHECK(token->depth() == parent->depth() + 1);
    FUZZ_CHECK(token->text().size() <= size);

    token->GetHref();
    token->GetFormAction();
    for (std::string_view name : {"href", "action", "name", "value", "class", "src"}) {
      token->GetAttribute(name);
    }
    for (int column = 1; column <= 4; ++column) {
      token->IsColumn(column);
    }
    for (int id : {tulix::kTagA, tulix::kTagForm, tulix::kTagTr, tulix::kTagTable,
                   tulix::kTagTd, tulix::kRootTokenId}) {
      const tulix::PageToken* enclosing = token->FindEnclosing(id);
      FUZZ_CHECK(enclosing == nullptr || enclosing->tagId() == id);
    }
    if (token->tagId() != tulix::kTextTokenId) {
      tulix::ReadHref(token->text());
      tulix::PageScanner::GetTagId(token->text());
    }
  }
  FUZZ_CHECK(walked == scanner.Count());
  // Past the end, stepping back once gives the end again (what Next returned last); twice, the
  // last token.
  scanner.RewindOne();
  FUZZ_CHECK(scanner.Next() == nullptr);
  scanner.RewindOne();
  scanner.RewindOne();
  if (walked > 0) {
    FUZZ_CHECK(scanner.Next() == &scanner.At(walked));
  }
  FUZZ_CHECK(scanner.Next() == nullptr);

  tulix::DecodeEntities(page);
  return 0;
}
