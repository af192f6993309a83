#include "engine/page_fetcher.h"

#include <mutex>

#include "base/application.h"
#include "platform/http.h"

namespace tulix {

const char kSessionAgent[] =
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; VNIE5; Q312461; .NET CLR 1.0.3705; .NET "
    "CLR 1.1.4322)";

HttpSession& GetSession() {
  TulixApplication& app = App();
  std::lock_guard lock(app.internetSessionLock);
  if (app.internetSession == nullptr) {
    app.internetSession = std::make_shared<HttpSession>(kSessionAgent);
  }
  return *app.internetSession;
}

void ReleaseSession(HttpSession& session) {
  // Sessions other than the shared one are owned by whoever made them; there is nothing to
  // close here beyond what their owner's destructor does, so only the shared one is recognised.
  (void)session;
}

}  // namespace tulix
