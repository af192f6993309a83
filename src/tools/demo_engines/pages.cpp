#include "tools/demo_engines/pages.h"

#include <algorithm>
#include <cstdio>

#include "platform/url.h"

namespace tulix::demo {
namespace {

constexpr size_t kSnippetLength = 180;

// The start of a document's text, cut at a word, on one line.
std::string Snippet(const Document& document) {
  std::string text;
  for (char c : document.text) {
    const bool blank = static_cast<unsigned char>(c) <= ' ';
    if (blank && (text.empty() || text.back() == ' ')) {
      continue;
    }
    text += blank ? ' ' : c;
  }
  if (text.size() <= kSnippetLength) {
    return text;
  }
  size_t cut = text.rfind(' ', kSnippetLength);
  if (cut == std::string::npos || cut == 0) {
    cut = kSnippetLength;
  }
  return text.substr(0, cut) + " ...";
}

std::string HostOf(const std::string& address) {
  size_t start = address.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  const size_t end = address.find_first_of("/?#", start);
  return address.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string Head(const DemoEngine& engine, std::string_view query) {
  std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>";
  html += engine.label;
  if (!query.empty()) {
    html += ": ";
    html += HtmlEscape(query);
  }
  html += "</title></head>\n<body>\n";
  return html;
}

std::string SearchForm(const DemoEngine& engine, const EngineQuery& query) {
  const bool post = engine.style == PageStyle::kPostedForm;
  std::string html = "<form class=\"search\" method=\"";
  html += post ? "post" : "get";
  html += "\" action=\"";
  html += engine.searchPath;
  html += "\"><input type=\"text\" name=\"";
  html += engine.queryParam;
  html += "\" value=\"" + HtmlEscape(query.text) + "\"> <select name=\"";
  html += engine.modeParam;
  html += "\">";
  for (MatchMode mode : {MatchMode::kAllWords, MatchMode::kAnyWords, MatchMode::kExactPhrase}) {
    html += "<option";
    html += mode == query.mode ? " selected>" : ">";
    html += ModeName(mode);
    html += "</option>";
  }
  html += "</select> <input type=\"submit\" value=\"Search\"></form>\n";
  return html;
}

std::string Summary(const EngineQuery& query, const ResultPage& page) {
  char line[160];
  if (page.docs.empty()) {
    std::snprintf(line, sizeof line, "<p class=\"summary\">No results");
  } else {
    std::snprintf(line, sizeof line, "<p class=\"summary\">Results %d to %zu of %zu for ",
                  query.offset + 1, query.offset + page.docs.size(), page.total);
  }
  return std::string(line) + "<b>" + HtmlEscape(query.text) + "</b></p>\n";
}

std::string Anchor(const std::string& address, std::string_view text,
                   std::string_view attributes = {}) {
  std::string html = "<a ";
  if (!attributes.empty()) {
    html += attributes;
    html += ' ';
  }
  return html + "href=\"" + HtmlEscape(address) + "\">" + std::string(text) + "</a>";
}

std::string SponsoredAddress(const DemoEngine& engine, const EngineQuery& query) {
  return std::string("http://ads.") + engine.name + ".example/click?q=" + QueryEscape(query.text);
}

std::string RelatedAddress(const DemoEngine& engine, const EngineQuery& query,
                           std::string_view extra) {
  EngineQuery related = query;
  related.text += ' ';
  related.text += extra;
  return PageAddress(engine, related, 0);
}

// Each renderer writes the part of the page that holds the results, and the links on to the
// next page where the engine has them.

std::string TableResults(const DemoEngine& engine, const CorpusIndex& index,
                         const EngineQuery& query, const ResultPage& page) {
  std::string html = "<table class=\"ads\"><tr><td>Ad</td><td>" +
                     Anchor(SponsoredAddress(engine, query), "Buy " + HtmlEscape(query.text)) +
                     "</td></tr></table>\n";
  html += "<table class=\"results\">\n<tr><th>#</th><th>Result</th><th>Site</th></tr>\n";
  int rank = query.offset;
  for (uint32_t doc : page.docs) {
    const Document& d = index.Documents()[doc];
    // Cells without blanks between them: a blank would count as a cell of the row.
    html += "<tr><td>" + std::to_string(++rank) + ".</td><td>" +
            Anchor(d.address, HtmlEscape(d.title)) + "<br>" + HtmlEscape(Snippet(d)) + "</td><td>" +
            HtmlEscape(HostOf(d.address)) + "</td></tr>\n";
  }
  html += "</table>\n<p class=\"pager\">";
  if (query.offset > 0) {
    html += Anchor(PageAddress(engine, query, std::max(0, query.offset - query.perPage)),
                   "Previous", "class=\"prev\"") +
            " ";
  }
  if (page.hasNext) {
    html +=
        Anchor(PageAddress(engine, query, query.offset + query.perPage), "Next", "class=\"next\"");
  }
  return html + "</p>\n";
}

std::string ListResults(const DemoEngine& engine, const CorpusIndex& index,
                        const EngineQuery& query, const ResultPage& page) {
  std::string html = "<ul class=\"hits\">\n";
  for (uint32_t doc : page.docs) {
    const Document& d = index.Documents()[doc];
    html += "<li>" + Anchor(d.address, HtmlEscape(d.title)) + " - <span>" + HtmlEscape(Snippet(d)) +
            "</span> <i>" + HtmlEscape(HostOf(d.address)) + "</i></li>\n";
  }
  html += "</ul>\n<p>Related searches:</p>\n<ul class=\"related\">";
  for (const char* extra : {"linux", "library"}) {
    html += "<li>" +
            Anchor(RelatedAddress(engine, query, extra), HtmlEscape(query.text) + " " + extra) +
            "</li>";
  }
  html += "</ul>\n";
  const int pageNumber = query.offset / query.perPage + 1;
  const size_t pages = (page.total + static_cast<size_t>(query.perPage) - 1) / query.perPage;
  html += "<p class=\"pages\">Page " + std::to_string(pageNumber) + " of " + std::to_string(pages);
  if (page.hasNext) {
    html += " " + Anchor(PageAddress(engine, query, query.offset + query.perPage), "Next page");
  }
  return html + "</p>\n";
}

std::string DivResults(const DemoEngine& engine, const CorpusIndex& index, const EngineQuery& query,
                       const ResultPage& page) {
  std::string html =
      "<div id=\"main\">\n<div class=\"sponsored\"><div class=\"item\">" +
      Anchor(SponsoredAddress(engine, query), "Sponsored: " + HtmlEscape(query.text)) +
      "</div></div>\n<div class=\"results\">\n";
  for (uint32_t doc : page.docs) {
    const Document& d = index.Documents()[doc];
    html += "<div class=\"result\"><div class=\"head\"><h3>" +
            Anchor(d.address, HtmlEscape(d.title)) +
            "</h3></div><div class=\"body\"><div class=\"snippet\">" + HtmlEscape(Snippet(d)) +
            "</div><div class=\"url\">" + HtmlEscape(HostOf(d.address)) + "</div></div></div>\n";
  }
  html += "</div>\n<div class=\"nav\">";
  if (page.hasNext) {
    html += Anchor(PageAddress(engine, query, query.offset + query.perPage), "More results",
                   "class=\"pager-next\"");
  }
  return html + "</div>\n</div>\n";
}

std::string PostedResults(const DemoEngine& engine, const CorpusIndex& index,
                          const EngineQuery& query, const ResultPage& page) {
  std::string html = "<h2 class=\"found\">Results</h2>\n";
  for (uint32_t doc : page.docs) {
    const Document& d = index.Documents()[doc];
    html += "<h3>" + Anchor(d.address, HtmlEscape(d.title)) + "</h3>\n<p class=\"snippet\">" +
            HtmlEscape(Snippet(d)) + "<br><span class=\"site\">" + HtmlEscape(HostOf(d.address)) +
            "</span></p>\n";
  }
  if (page.hasNext) {
    // The next page is another post of the same form with the next page number.
    html += "<form class=\"more\" method=\"post\" action=\"";
    html += engine.searchPath;
    html += "\"><input type=\"hidden\" name=\"";
    html += engine.queryParam;
    html += "\" value=\"" + HtmlEscape(query.text) + "\"><input type=\"hidden\" name=\"";
    html += engine.modeParam;
    html += "\" value=\"";
    html += ModeName(query.mode);
    html += "\"><input type=\"hidden\" name=\"";
    html += engine.countParam;
    html += "\" value=\"" + std::to_string(query.perPage) + "\"><input type=\"hidden\" name=\"";
    html += engine.pageParam;
    html += "\" value=\"" + std::to_string(query.offset / query.perPage + 2) + "\">";
    html += "<input type=\"submit\" name=\"more\" value=\"More results\"></form>\n";
  }
  html += "<p class=\"also\">Also try: " + Anchor("/postbox/", "a new search") + "</p>\n";
  return html;
}

std::string RedirectedResults(const DemoEngine& engine, const CorpusIndex& index,
                              const EngineQuery& query, const ResultPage& page) {
  std::string html = "<dl class=\"featured\"><dt>" +
                     Anchor(SponsoredAddress(engine, query), "Featured") +
                     "</dt><dd>A partner of Relay</dd></dl>\n<dl class=\"found\">\n";
  for (uint32_t doc : page.docs) {
    const Document& d = index.Documents()[doc];
    html += "<dt>" + Anchor(d.address, HtmlEscape(d.title)) + "</dt>\n<dd>" +
            HtmlEscape(Snippet(d)) + "<br><cite>" + HtmlEscape(HostOf(d.address)) +
            "</cite></dd>\n";
  }
  html += "</dl>\n";
  if (page.hasNext) {
    html +=
        "<p>" +
        Anchor(PageAddress(engine, query, query.offset + query.perPage), "Next", "rel=\"next\"") +
        "</p>\n";
  }
  return html;
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string QueryEscape(std::string_view text) {
  return EncodeQueryValue(text);
}

std::string PageAddress(const DemoEngine& engine, const EngineQuery& query, int offset) {
  const int pageValue = engine.pageIsOffset ? offset : offset / query.perPage + 1;
  std::string address =
      std::string(engine.searchPath) + "?" + engine.queryParam + "=" + QueryEscape(query.text) +
      "&" + engine.modeParam + "=" + ModeName(query.mode) + "&" + engine.countParam + "=" +
      std::to_string(query.perPage) + "&" + engine.pageParam + "=" + std::to_string(pageValue);
  if (query.titlesOnly) {
    address += std::string("&") + kFieldParam + "=title";
  }
  return address;
}

std::string RenderHomePage(const DemoEngine& engine) {
  return Head(engine, {}) + "<h1>" + engine.label + "</h1>\n" + SearchForm(engine, EngineQuery{}) +
         "</body></html>\n";
}

std::string RenderResultPage(const DemoEngine& engine, const CorpusIndex& index,
                             const EngineQuery& query, const ResultPage& page) {
  std::string html = Head(engine, query.text);
  html += "<div id=\"top\">" + Anchor(std::string("/") + engine.name + "/", engine.label) + " | " +
          Anchor(std::string("/") + engine.name + "/about", "About") + "</div>\n";
  html += SearchForm(engine, query);
  html += Summary(query, page);
  switch (engine.style) {
    case PageStyle::kTable:
      html += TableResults(engine, index, query, page);
      break;
    case PageStyle::kList:
      html += ListResults(engine, index, query, page);
      break;
    case PageStyle::kNestedDivs:
      html += DivResults(engine, index, query, page);
      break;
    case PageStyle::kPostedForm:
      html += PostedResults(engine, index, query, page);
      break;
    case PageStyle::kRedirected:
      html += RedirectedResults(engine, index, query, page);
      break;
  }
  return html +
         "<p class=\"foot\">Demo engine over Debian package descriptions.</p>\n"
         "</body></html>\n";
}

}  // namespace tulix::demo
