/* Runs one search through tulixlib and prints its results, best first:
 *     tulixlib-search WORDS [CATEGORY]
 * The library must be registered (see tulixlib.h); the search runs on the engines of the
 * program folder the settings name, and is kept there as a saved search. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "tulixlib.h"

/* A search may run for six minutes before the library gives it up. */
#define MAX_WAIT_SECONDS 400

static void print_text(const char* label, BSTR text) {
  char* utf8 = Utf8FromBstr(text);
  printf("%s%s\n", label, utf8 != NULL ? utf8 : "");
  free(utf8);
  SysFreeString(text);
}

static void sleep_tenth_second(void) {
  struct timespec pause = {0, 100 * 1000 * 1000};
  nanosleep(&pause, NULL);
}

/* Waits until the search has finished or timed out; returns its last status. */
static LONG wait_for_search(ITulixExp* exp, BSTR name) {
  LONG status = TULIX_SEARCH_NOT_FOUND;
  for (int tenths = 0; tenths < MAX_WAIT_SECONDS * 10; ++tenths) {
    if (exp->lpVtbl->GetSearchStatus(exp, name, &status) != S_OK) {
      return TULIX_SEARCH_NOT_FOUND;
    }
    if (status == TULIX_SEARCH_FINISHED || status == TULIX_SEARCH_TIMED_OUT ||
        status == TULIX_SEARCH_NOT_FOUND) {
      break;
    }
    sleep_tenth_second();
  }
  return status;
}

static void print_results(ITulixExp* exp, BSTR name) {
  LONG total = 0;
  exp->lpVtbl->GetSearchTotal(exp, name, &total);
  printf("%ld results\n", (long)total);
  for (LONG i = 0; i < total; ++i) {
    BSTR url = NULL;
    BSTR text = NULL;
    BSTR engines = NULL;
    LONG percent = 0;
    exp->lpVtbl->get_result_url(exp, name, TULIX_ORDER_COMBINED, i, &url);
    exp->lpVtbl->get_result_text(exp, name, TULIX_ORDER_COMBINED, i, &text);
    exp->lpVtbl->get_result_engines(exp, name, TULIX_ORDER_COMBINED, i, &engines);
    exp->lpVtbl->get_result_percent(exp, name, TULIX_ORDER_COMBINED, i, &percent);
    printf("%ld. (%ld%%)\n", (long)(i + 1), (long)percent);
    print_text("   ", url);
    print_text("   ", text);
    print_text("   found by: ", engines);
  }
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: %s WORDS [CATEGORY]\n", argv[0]);
    return 2;
  }
  ITulixExp* exp = NULL;
  HRESULT hr = CreateObjectByProgID("Tulixlib.TulixExp", &IID_ITulixExp, (void**)&exp);
  if (hr != S_OK) {
    fprintf(stderr, "Cannot make Tulixlib.TulixExp (0x%08X): is tulixlib registered?\n",
            (unsigned)hr);
    return 1;
  }

  BSTR words = SysAllocStringFromUtf8(argv[1]);
  BSTR category = SysAllocStringFromUtf8(argc == 3 ? argv[2] : "web");
  BSTR address = NULL;
  /* -1: the user's default shopping policy, results per engine and number of engines. */
  exp->lpVtbl->StartSearch(exp, words, category, -1, -1, -1, &address);
  char* page = Utf8FromBstr(address);
  SysFreeString(address);
  /* The search's name follows "search=" in the results page's address. */
  const char* at = page != NULL ? strstr(page, "search=") : NULL;
  int status = 1;
  if (at == NULL) {
    fprintf(stderr, "No search was started\n");
  } else {
    printf("results page: %s\n", page);
    BSTR name = SysAllocStringFromUtf8(at + strlen("search="));
    const LONG last = wait_for_search(exp, name);
    if (last == TULIX_SEARCH_TIMED_OUT) {
      printf("The search timed out; what it found so far:\n");
    }
    print_results(exp, name);
    SysFreeString(name);
    status = last == TULIX_SEARCH_NOT_FOUND ? 1 : 0;
  }
  free(page);
  SysFreeString(words);
  SysFreeString(category);
  exp->lpVtbl->Release(exp);
  FreeUnusedLibraries();
  return status;
}
