// tulixlib as a browser meets it: the built library loaded, registered into the test's settings
// store, its classes made by ProgID and called through their tables and through Invoke, with
// searches on engines served by a local server.
#include <dlfcn.h>
#include <sys/wait.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/settings.h"
#include "browserlib/com/com_object.h"
#include "browserlib/com/object_creation.h"
#include "browserlib/com/registration.h"
#include "browserlib/com/variant.h"
#include "browserlib/tulixlib_interfaces.h"
#include "loopback_server.h"
#include "platform/clock.h"
#include "platform/registry_store.h"
#include "test_support.h"

namespace tulix::tulixlib {
namespace {

using namespace tulix::com;

const char kLibrary[] = TULIXLIB_PATH;

// The system's time, moved on by the test at will; the library's loop keeps running on it.
class ShiftedClock : public Clock {
 public:
  int64_t Now() const override { return m_system.Now() + m_offsetSeconds.load(); }
  int64_t TickCount() const override {
    return m_system.TickCount() + m_offsetSeconds.load() * 1000;
  }
  void AdvanceSeconds(int64_t seconds) { m_offsetSeconds += seconds; }

 private:
  SystemClock m_system;
  std::atomic<int64_t> m_offsetSeconds{0};
};

std::string Text(BSTR text) {
  UniqueBstr owned(text);
  return owned.Utf8();
}

// Five results on every page of `tag`, so engines of one tag find the same results.
std::string ResultPage(const std::string& tag) {
  std::string page = "<html><body><ul>";
  for (int i = 1; i <= 5; ++i) {
    const std::string n = std::to_string(i);
    page += "<li><a href=http://r.test/" + tag + n + ">Blue whale " + n +
            "</a> the great whale of the sea</li>";
  }
  return page + "</ul></body></html>";
}

class TulixlibTest : public test::TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_server->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      if (request.path == "/stall" || (m_stallUpdates && request.path != "/alpha")) {
        std::unique_lock lock(m_stallMutex);
        m_stallReleased.wait(lock, [this] { return m_released; });
      }
      response.set_content(ResultPage("whale"), "text/html");
    });
    m_server.Start();
    m_store = std::make_unique<RegistryStore>(m_registry);
    const std::string root = kRegistryRoot;
    m_store->SetString(root + "\\Behaviour", "path", m_home);
    m_store->SetDword(root + "\\Behaviour", "UpdatePolicy", 1);

    m_library = dlopen(kLibrary, RTLD_NOW);
    ASSERT_NE(m_library, nullptr) << dlerror();
    auto configure = reinterpret_cast<int (*)(const Clock*, int)>(
        dlsym(m_library, "TulixlibConfigureForTests"));
    ASSERT_NE(configure, nullptr);
    ASSERT_EQ(configure(&m_clock, 1), 0);
    auto registerServer =
        reinterpret_cast<DllRegisterServerFunction>(dlsym(m_library, "DllRegisterServer"));
    ASSERT_NE(registerServer, nullptr);
    ASSERT_EQ(registerServer(), S_OK);
  }

  void TearDown() override {
    ReleaseStall();
    for (IUnknown* object : m_objects) {
      object->Release();
    }
    if (m_library != nullptr) {
      auto canUnload =
          reinterpret_cast<DllCanUnloadNowFunction>(dlsym(m_library, "DllCanUnloadNow"));
      EXPECT_EQ(canUnload(), S_OK);
      dlclose(m_library);
    }
    // Unloading stops the library's thread and shuts its core down.
    FreeUnusedLibraries();
    EXPECT_FALSE(IsServerLoaded(kLibrary));
    // Really gone from the process, its thread ended: the next test starts it afresh.
    void* still = dlopen(kLibrary, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(still, nullptr);
    if (still != nullptr) {
      dlclose(still);
    }
    TulixTest::TearDown();
  }

  // A web category whose update check is never due, with engines on the local server.
  void WriteEngines(const std::vector<std::string>& paths, bool updateDue = false) {
    const std::filesystem::path web = std::filesystem::path(m_home) / "categories" / "web";
    std::filesystem::create_directories(web);
    test::WriteFileBytes((web.parent_path() / "web.cat").string(),
                         updateDue ? "[main]\n" : "[main]\nlastupdatecheck=4000000000\n");
    int n = 0;
    for (const std::string& path : paths) {
      const std::string engine = "engine" + std::to_string(++n);
      test::WriteFileBytes((web / (engine + ".ini")).string(),
                           "[main]\nname=" + engine +
                               "\nhost=127.0.0.1\nport=" + std::to_string(m_server.Port()) +
                               "\nobject=/" + path + "?q=%Q\n"
                               "[START]\n1=TAG|RESULT|li|STARTRESULT|\n"
                               "[RESULT]\n1=TAG|START|/li|SENDRESULT|\n");
    }
  }

  template <typename I>
  I* Create(const char* progId) {
    I* object = nullptr;
    EXPECT_EQ(CreateObjectByProgID(*m_store, progId, I::kIid, reinterpret_cast<void**>(&object)),
              S_OK);
    if (object != nullptr) {
      m_objects.push_back(object);
    }
    return object;
  }

  // Asks for the search's status until it is `wanted`; the calls themselves pace the loop.
  bool WaitForStatus(ITulixExp* exp, const std::string& name, LONG wanted) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    UniqueBstr bstrName(name);
    LONG status = -1;
    while (std::chrono::steady_clock::now() < deadline) {
      EXPECT_EQ(exp->GetSearchStatus(bstrName.get(), &status), S_OK);
      if (status == wanted) {
        return true;
      }
      std::this_thread::yield();
    }
    ADD_FAILURE() << "status stayed " << status;
    return false;
  }

  void ReleaseStall() {
    std::lock_guard lock(m_stallMutex);
    m_released = true;
    m_stallReleased.notify_all();
  }

  static std::string SearchNameOf(const std::string& address) {
    const size_t at = address.find("&search=");
    return at == std::string::npos ? std::string() : address.substr(at + 8);
  }

  std::string StartExp(ITulixExp* exp, const std::string& words, LONG engines = -1) {
    UniqueBstr bstrWords(words);
    UniqueBstr category("web");
    BSTR address = nullptr;
    EXPECT_EQ(exp->StartSearch(bstrWords.get(), category.get(), -1, -1, engines, &address), S_OK);
    return SearchNameOf(Text(address));
  }

  ShiftedClock m_clock;
  test::LoopbackServer m_server;
  std::mutex m_stallMutex;
  std::condition_variable m_stallReleased;
  bool m_released = false;
  // Requests other than the engine "alpha"'s wait too: the update server's.
  bool m_stallUpdates = false;
  std::unique_ptr<RegistryStore> m_store;
  void* m_library = nullptr;
  std::vector<IUnknown*> m_objects;
};

TEST_F(TulixlibTest, RegistersAndAnswersNotFoundValuesBeforeAndAfterStarting) {
  auto versionValue = reinterpret_cast<const char* (*)(const char*)>(
      dlsym(m_library, "TulixComponentVersionValue"));
  ASSERT_NE(versionValue, nullptr);
  EXPECT_NE(versionValue("OLESelfRegister"), nullptr);
  EXPECT_EQ(versionValue("FileVersion"), nullptr);
  EXPECT_TRUE(m_store->GetValue(ClassesRootKey("CLSID\\" + GuidToString(CLSID_TulixExp) +
                                               "\\Implemented Categories\\" +
                                               GuidToString(CATID_SafeForScripting)),
                                "")
                  .has_value());
  EXPECT_TRUE(m_store->GetValue(ClassesRootKey("CLSID\\" + GuidToString(CLSID_TulixExp) +
                                               "\\Programmable"),
                                "")
                  .has_value());
  WriteEngines({"alpha"});

  ITulixExp* exp = Create<ITulixExp>("Tulixlib.TulixExp");
  ASSERT_NE(exp, nullptr);
  BSTR text = nullptr;
  ASSERT_EQ(exp->GetStatus(&text), S_OK);
  EXPECT_EQ(Text(text), "uninitialised");
  LONG number = 0;
  ASSERT_EQ(exp->GetOpenInNewWindow(&number), S_OK);
  EXPECT_EQ(number, 1);

  // Empty words: the page alone, and the library is started by the call.
  ITulix* tulix = Create<ITulix>("Tulixlib.Tulix.1");
  ASSERT_NE(tulix, nullptr);
  UniqueBstr empty("");
  UniqueBstr web("web");
  LONG status = 0;
  ASSERT_EQ(tulix->StartSearch(empty.get(), web.get(), -1, -1, -1, &text, &status), S_OK);
  EXPECT_EQ(Text(text), "file:" + m_home + "/searchresults.htm");
  EXPECT_EQ(status, 2);
  ASSERT_EQ(exp->GetStatus(&text), S_OK);
  EXPECT_EQ(Text(text), "<h2>Searched</h2>");
  ASSERT_EQ(exp->GetCategories(&text), S_OK);
  EXPECT_EQ(Text(text), "web");

  UniqueBstr unknown("no such search");
  EXPECT_EQ(exp->GetSearchStatus(unknown.get(), &number), S_OK);
  EXPECT_EQ(number, 0);
  for (auto get : {&ITulixExp::GetSearchEngineCount, &ITulixExp::GetSearchShopping,
                   &ITulixExp::GetSearchJobCount, &ITulixExp::GetSearchResultsPerEngine}) {
    number = 0;
    EXPECT_EQ((exp->*get)(unknown.get(), &number), S_OK);
    EXPECT_EQ(number, -1);
  }
  EXPECT_EQ(exp->GetSearchTotal(unknown.get(), &number), S_OK);
  EXPECT_EQ(number, 0);
  EXPECT_EQ(exp->GetSearchText(unknown.get(), &text), S_OK);
  EXPECT_EQ(Text(text), "*** error ***");
  EXPECT_EQ(exp->GetSearchCategory(unknown.get(), &text), S_OK);
  EXPECT_EQ(Text(text), "*** error ***");
  EXPECT_EQ(exp->get_result_url(unknown.get(), 4, 0, &text), S_OK);
  EXPECT_EQ(Text(text), "");
  EXPECT_EQ(exp->get_result_percent(unknown.get(), 4, 0, &number), S_OK);
  EXPECT_EQ(number, 0);
  EXPECT_EQ(exp->StopSearch(unknown.get()), S_OK);
  BSTR untouched = reinterpret_cast<BSTR>(&number);
  EXPECT_EQ(exp->GetRunningEngines(unknown.get(), &untouched), S_OK);
  EXPECT_EQ(untouched, reinterpret_cast<BSTR>(&number));

  // Safe for scripting on the dispatch interface, for data on persistence, nothing else.
  IObjectSafety* safety = nullptr;
  ASSERT_EQ(exp->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  m_objects.push_back(safety);
  DWORD supported = 0;
  DWORD enabled = 0;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, INTERFACESAFE_FOR_UNTRUSTED_CALLER);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IPersistPropertyBag,
                                              INTERFACESAFE_FOR_UNTRUSTED_DATA,
                                              INTERFACESAFE_FOR_UNTRUSTED_DATA),
            S_OK);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_DATA,
                                              INTERFACESAFE_FOR_UNTRUSTED_DATA),
            E_FAIL);
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IClassFactory, &supported, &enabled), E_FAIL);
  void* none = nullptr;
  EXPECT_EQ(tulix->QueryInterface(IID_IDispatch, &none), E_NOINTERFACE);

  auto unregisterServer =
      reinterpret_cast<DllUnregisterServerFunction>(dlsym(m_library, "DllUnregisterServer"));
  EXPECT_EQ(unregisterServer(), S_OK);
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(*m_store, "Tulixlib.TulixExp", &clsid), REGDB_E_CLASSNOTREG);
}

TEST_F(TulixlibTest, RunsASearchToTheEndAndReadsItsResultsByOrderAndIndex) {
  // The library's trace lines, into a file: the library reads the setting at its first line.
  const std::string trace = m_home + "/trace.txt";
  setenv("TULIX_TRACE", trace.c_str(), 1);
  WriteEngines({"alpha", "beta"});
  ITulixExp* exp = Create<ITulixExp>("Tulixlib.TulixExp.1");
  ITulix* tulix = Create<ITulix>("Tulixlib.Tulix");
  ASSERT_TRUE(exp != nullptr && tulix != nullptr);

  const std::string name = StartExp(exp, "whale");
  ASSERT_FALSE(name.empty());
  // The same words again, through the other class, name the same saved search.
  UniqueBstr words("whale");
  UniqueBstr web("web");
  BSTR address = nullptr;
  LONG status = 0;
  ASSERT_EQ(tulix->StartSearch(words.get(), web.get(), -1, -1, -1, &address, &status), S_OK);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(SearchNameOf(Text(address)), name);

  UniqueBstr bstrName(name);
  LONG number = 0;
  EXPECT_EQ(exp->GetSearchEngineCount(bstrName.get(), &number), S_OK);
  EXPECT_EQ(number, 5);
  EXPECT_EQ(exp->GetSearchResultsPerEngine(bstrName.get(), &number), S_OK);
  EXPECT_EQ(number, 50);
  EXPECT_EQ(exp->GetSearchShopping(bstrName.get(), &number), S_OK);
  EXPECT_EQ(number, 3);

  ASSERT_TRUE(WaitForStatus(exp, name, 3));
  EXPECT_EQ(exp->GetSearchTotal(bstrName.get(), &number), S_OK);
  EXPECT_EQ(number, 5);
  EXPECT_EQ(exp->GetSearchJobCount(bstrName.get(), &number), S_OK);
  EXPECT_EQ(number, 0);

  // By rank the first page's first result comes first; both engines found every result.
  BSTR text = nullptr;
  ASSERT_EQ(exp->get_result_url(bstrName.get(), 1, 0, &text), S_OK);
  EXPECT_EQ(Text(text), "http://r.test/whale1");
  ASSERT_EQ(exp->get_result_engines(bstrName.get(), 1, 0, &text), S_OK);
  const std::string engines = Text(text);
  EXPECT_TRUE(engines == "engine1 engine2" || engines == "engine2 engine1") << engines;
  ASSERT_EQ(exp->get_result_text(bstrName.get(), 1, 0, &text), S_OK);
  const std::string resultText = Text(text);
  EXPECT_EQ(resultText.rfind("<b>", 0), 0u) << resultText;
  EXPECT_NE(resultText.find("</b><p>"), std::string::npos) << resultText;
  // Words are marked in the text only: the title's link stays whole, and the engine script's
  // own marks give way to the page's.
  EXPECT_EQ(resultText,
            "<b><a href=http://r.test/whale1>Blue <span class=\"hilite\">whale</span> 1 </a></b>"
            "<p></a>the great <span class=\"hilite\">whale</span> of the sea</p>");
  EXPECT_EQ(exp->get_result_percent(bstrName.get(), 4, 4, &number), S_OK);
  EXPECT_EQ(number, 100);
  ASSERT_EQ(exp->get_result_text(bstrName.get(), 4, 5, &text), S_OK);
  EXPECT_EQ(Text(text), "");
  ASSERT_EQ(exp->GetSearchText(bstrName.get(), &text), S_OK);
  EXPECT_EQ(Text(text), "whale");
  ASSERT_EQ(exp->GetStatus(&text), S_OK);
  EXPECT_EQ(Text(text), "<h2>Searched</h2>whale<br>");
  unsetenv("TULIX_TRACE");
  const std::string traced = test::ReadFileBytes(trace);
  for (const char* line : {"In Search Job Thread: ", "Completed Search Job ",
                           "SearchJobHaSExited\n", "really start task ", "thread wrapper\n",
                           "OnThreadFinished in\n", "On Thread Finished out\n"}) {
    EXPECT_NE(traced.find(line), std::string::npos) << line;
  }
  // Standard error stays the host's: no log file took it over.
  EXPECT_FALSE(std::filesystem::exists(m_home + "/tulix.log"));

  // The same through IDispatch, as a script calls it.
  OLECHAR* names[] = {const_cast<OLECHAR*>(u"getsearchtotal")};
  DISPID id = 0;
  ASSERT_EQ(exp->GetIDsOfNames(GUID_NULL, names, 1, 0x409, &id), S_OK);
  EXPECT_EQ(id, 9);
  VARIANT args[3] = {MakeVariantI4(0), MakeVariantI4(1), MakeVariantBstr(name)};
  DISPPARAMS params{&args[2], nullptr, 1, 0};
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(exp->Invoke(id, GUID_NULL, 0x409, DISPATCH_METHOD, &params, &result, nullptr,
                        nullptr),
            S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 5);
  // get_result_url(name, order 1, index 0): arguments last first.
  params = DISPPARAMS{args, nullptr, 3, 0};
  ASSERT_EQ(exp->Invoke(kDispGetResultUrl, GUID_NULL, 0x409, DISPATCH_METHOD, &params, &result,
                        nullptr, nullptr),
            S_OK);
  ASSERT_EQ(result.vt, VT_BSTR);
  EXPECT_EQ(Utf8FromBstr(result.bstrVal), "http://r.test/whale1");
  VariantClear(&result);
  EXPECT_EQ(exp->Invoke(kDispGetStatus, GUID_NULL, 0x409, DISPATCH_METHOD, &params, &result,
                        nullptr, nullptr),
            DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(exp->Invoke(4, GUID_NULL, 0x409, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  for (VARIANT& arg : args) {
    VariantClear(&arg);
  }
}

TEST_F(TulixlibTest, ASearchWithoutNewResultsFor91SecondsTimesOutAndIsStopped) {
  WriteEngines({"stall"});
  ITulixExp* exp = Create<ITulixExp>("Tulixlib.TulixExp");
  ASSERT_NE(exp, nullptr);
  const std::string name = StartExp(exp, "whale");
  UniqueBstr bstrName(name);
  LONG status = 0;
  LONG jobs = 0;
  m_clock.AdvanceSeconds(89);
  EXPECT_EQ(exp->GetSearchStatus(bstrName.get(), &status), S_OK);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(exp->GetSearchJobCount(bstrName.get(), &jobs), S_OK);
  EXPECT_EQ(jobs, 1);
  BSTR text = nullptr;
  EXPECT_EQ(exp->GetRunningEngines(bstrName.get(), &text), S_OK);
  EXPECT_EQ(Text(text), "engine1");
  m_clock.AdvanceSeconds(2);
  EXPECT_EQ(exp->GetSearchStatus(bstrName.get(), &status), S_OK);
  EXPECT_EQ(status, 5);
  // Stopped: once the engine's page is let go, the job ends and the search has none left.
  ReleaseStall();
  EXPECT_TRUE(WaitForStatus(exp, name, 3));
}

TEST_F(TulixlibTest, ASearchWaitingForItsEngineUpdateSaysSoAndCountsTheEnginesItWillAsk) {
  m_stallUpdates = true;
  m_store->SetString(std::string(kRegistryRoot) + "\\Behaviour", "UpdateServer",
                     "http://127.0.0.1:" + std::to_string(m_server.Port()));
  WriteEngines({"alpha"}, true);
  ITulixExp* exp = Create<ITulixExp>("Tulixlib.TulixExp");
  ASSERT_NE(exp, nullptr);
  const std::string name = StartExp(exp, "whale", 3);
  UniqueBstr bstrName(name);
  LONG value = 0;
  EXPECT_EQ(exp->GetSearchStatus(bstrName.get(), &value), S_OK);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(exp->GetSearchJobCount(bstrName.get(), &value), S_OK);
  EXPECT_EQ(value, 3);
  BSTR text = nullptr;
  EXPECT_EQ(exp->GetRunningEngines(bstrName.get(), &text), S_OK);
  EXPECT_EQ(Text(text), "");
  // Once the update check ends, the search runs on its engine and completes.
  ReleaseStall();
  EXPECT_TRUE(WaitForStatus(exp, name, 3));
}

// The examples search from a process of their own through the client library, as a program
// using tulixlib would, and print the results.
TEST_F(TulixlibTest, TheCAndPythonExamplesRunASearchAndPrintItsResults) {
  WriteEngines({"alpha"});
  std::string python = std::string("TULIX_CLIENT_LIBRARY=") + TULIX_CLIENT_LIBRARY + " ";
#ifdef TULIX_ASAN_RUNTIME
  // The interpreter's own memory is not ours to check.
  python += std::string("LD_PRELOAD=") + TULIX_ASAN_RUNTIME + " ASAN_OPTIONS=detect_leaks=0 ";
#endif
  python += std::string("/usr/bin/python3 ") + TULIXLIB_PYTHON_EXAMPLE;
  std::string name;
  for (const std::string& program : {std::string(TULIXLIB_C_EXAMPLE), python}) {
    const std::string out = m_home + "/example.out";
    const std::string err = m_home + "/example.err";
    const int status = std::system((program + " whale >" + out + " 2>" + err).c_str());
    const std::string printed = test::ReadFileBytes(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << program << "\n" << printed << test::ReadFileBytes(err);
    EXPECT_NE(printed.find("?order=4&search="), std::string::npos) << printed;
    EXPECT_NE(printed.find("\n5 results\n"), std::string::npos) << printed;
    for (int i = 1; i <= 5; ++i) {
      EXPECT_NE(printed.find("   http://r.test/whale" + std::to_string(i) + "\n"),
                std::string::npos)
          << printed;
    }
    EXPECT_NE(printed.find(">Blue <span class=\"hilite\">whale</span> 1 </a></b>"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("found by: engine1\n"), std::string::npos) << printed;
    const size_t at = printed.find("&search=");
    name = at == std::string::npos ? "" : printed.substr(at + 8, printed.find('\n', at) - at - 8);
  }
  // This process's library reads the search back from disk, with its stored results.
  ITulixExp* exp = Create<ITulixExp>("Tulixlib.TulixExp");
  ASSERT_NE(exp, nullptr);
  UniqueBstr bstrName(name);
  LONG total = 0;
  EXPECT_EQ(exp->GetSearchTotal(bstrName.get(), &total), S_OK);
  EXPECT_EQ(total, 5);
  BSTR url = nullptr;
  EXPECT_EQ(exp->get_result_url(bstrName.get(), 1, 0, &url), S_OK);
  EXPECT_EQ(Text(url), "http://r.test/whale1");
}

TEST_F(TulixlibTest, ASearchRunningLongerThan360SecondsTimesOut) {
  m_store->SetDword(std::string(kRegistryRoot) + "\\Browser",
                    "timeout_withoutnewresults_seconds", 100000);
  WriteEngines({"stall"});
  ITulixExp* exp = Create<ITulixExp>("Tulixlib.TulixExp");
  ASSERT_NE(exp, nullptr);
  const std::string name = StartExp(exp, "whale");
  UniqueBstr bstrName(name);
  LONG status = 0;
  m_clock.AdvanceSeconds(359);
  EXPECT_EQ(exp->GetSearchStatus(bstrName.get(), &status), S_OK);
  EXPECT_EQ(status, 4);
  m_clock.AdvanceSeconds(2);
  EXPECT_EQ(exp->GetSearchStatus(bstrName.get(), &status), S_OK);
  EXPECT_EQ(status, 5);
}

TEST_F(TulixlibTest, CallsFromEightThreadsAtOnceShareOneSearch) {
  WriteEngines({"alpha"});
  std::vector<std::string> names(8);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (size_t i = 0; i < names.size(); ++i) {
    threads.emplace_back([&, i] {
      ITulixExp* exp = nullptr;
      if (CreateObjectByProgID(*m_store, "Tulixlib.TulixExp", IID_ITulixExp,
                               reinterpret_cast<void**>(&exp)) != S_OK) {
        ++failures;
        return;
      }
      names[i] = StartExp(exp, "orca");
      UniqueBstr bstrName(names[i]);
      LONG value = 0;
      BSTR text = nullptr;
      for (int round = 0; round < 20; ++round) {
        if (exp->GetSearchStatus(bstrName.get(), &value) != S_OK ||
            exp->GetStatus(&text) != S_OK) {
          ++failures;
        }
        SysFreeString(text);
      }
      exp->Release();
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(names[0].empty());
  for (const std::string& name : names) {
    EXPECT_EQ(name, names[0]);
  }
  ITulixExp* exp = Create<ITulixExp>("Tulixlib.TulixExp");
  ASSERT_NE(exp, nullptr);
  EXPECT_TRUE(WaitForStatus(exp, names[0], 3));
}

}  // namespace
}  // namespace tulix::tulixlib
