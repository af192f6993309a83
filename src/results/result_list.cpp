#include "results/result_list.h"

#include <algorithm>
#include <cassert>
#include <utility>

namespace tulix {

SearchResult& ResultList::Append(std::unique_ptr<SearchResult> result) {
  assert(result != nullptr);
  result->m_listOrder = m_nextOrder++;
  SearchResult& added = *result;
  m_byHref[added.href].push_back(&added);
  m_items.push_back(std::move(result));
  return added;
}

size_t ResultList::PositionOf(const SearchResult& result) const {
  auto it = std::lower_bound(m_items.begin(), m_items.end(), result.m_listOrder,
                             [](const std::unique_ptr<SearchResult>& item, uint64_t order) {
                               return item->m_listOrder < order;
                             });
  if (it == m_items.end() || it->get() != &result) {
    return m_items.size();
  }
  return static_cast<size_t>(it - m_items.begin());
}

void ResultList::Unindex(const SearchResult& result) {
  auto entry = m_byHref.find(result.href);
  if (entry == m_byHref.end()) {
    return;
  }
  std::vector<SearchResult*>& same = entry->second;
  same.erase(std::find(same.begin(), same.end(), &result));
  if (same.empty()) {
    m_byHref.erase(entry);
  }
}

std::unique_ptr<SearchResult> ResultList::Take(const SearchResult& result) {
  const size_t position = PositionOf(result);
  if (position == m_items.size()) {
    return nullptr;
  }
  Unindex(result);
  std::unique_ptr<SearchResult> taken = std::move(m_items[position]);
  m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(position));
  return taken;
}

bool ResultList::Delete(const SearchResult& result) {
  return Take(result) != nullptr;
}

void ResultList::DeleteAll() {
  m_byHref.clear();
  m_items.clear();
}

ResultList::Items ResultList::RemoveAll() {
  m_byHref.clear();
  Items items = std::move(m_items);
  m_items.clear();
  return items;
}

SearchResult* ResultList::FindFirst(const std::string& href) const {
  auto entry = m_byHref.find(href);
  return entry == m_byHref.end() ? nullptr : entry->second.front();
}

size_t ResultList::CountOf(const std::string& href) const {
  auto entry = m_byHref.find(href);
  return entry == m_byHref.end() ? 0 : entry->second.size();
}

}  // namespace tulix
