// The results history in a build without SQLite (the Windows build): every
// --db and history command is refused, saying so.
#include "core/report/history_store.h"

std::unique_ptr<HistoryStore> OpenHistoryStore(const std::string&, HistoryOpen, std::string* error) {
  *error = "the results history (--db, history) is not available in this build; use the Linux loadpost-cli";
  return nullptr;
}
