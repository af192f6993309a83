// An ordered list of owned results: the current or the previous results of a saved search.
//
// Besides the order, the list keeps an index from address to the results with that address,
// in list order, so that merging a hit finds the first result with the hit's address without
// walking the list: a search with thousands of results takes each new hit in constant time.
// The index is kept right by every operation that adds or removes results; a result's `href`
// must therefore not change while it is in a list.
//
// Ownership: the list owns its results and destroys them with itself, on Delete and on
// DeleteAll. Take and RemoveAll hand results out without destroying them.
//
// Thread safety: none of its own; a search's lists are guarded by the results lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "results/search_result.h"

namespace tulix {

class ResultList {
 public:
  using Items = std::vector<std::unique_ptr<SearchResult>>;

  ResultList() = default;
  ~ResultList() = default;
  ResultList(const ResultList&) = delete;
  ResultList& operator=(const ResultList&) = delete;

  size_t size() const { return m_items.size(); }
  bool empty() const { return m_items.empty(); }
  SearchResult& at(size_t position) const { return *m_items.at(position); }
  Items::const_iterator begin() const { return m_items.begin(); }
  Items::const_iterator end() const { return m_items.end(); }

  // Appends `result` (not null) and returns it.
  SearchResult& Append(std::unique_ptr<SearchResult> result);
  // Removes `result` from the list and hands it to the caller; null when it is not here.
  std::unique_ptr<SearchResult> Take(const SearchResult& result);
  // Removes and destroys `result`; false when it is not here.
  bool Delete(const SearchResult& result);
  // Destroys every result.
  void DeleteAll();
  // Empties the list without destroying: the results, in order, go to the caller.
  Items RemoveAll();

  // The first result, in list order, whose href equals `href` exactly; null when none has.
  SearchResult* FindFirst(const std::string& href) const;
  // How many results have this href.
  size_t CountOf(const std::string& href) const;

 private:
  // The position of `result`, or size() when it is not here. Results lie in the order of their
  // list order numbers, so this is a binary search.
  size_t PositionOf(const SearchResult& result) const;
  void Unindex(const SearchResult& result);

  Items m_items;
  // href -> the results with that href, in list order.
  std::unordered_map<std::string, std::vector<SearchResult*>> m_byHref;
  uint64_t m_nextOrder = 1;
};

}  // namespace tulix
