// Which workbook modules imported which. Replacing a module must also evict
// every module whose body ran against its old text, directly or through
// others. Workers record edges while the event loop evicts, so the graph
// sits behind a mutex; no Python runs while it is held, so holding it never
// waits for the GIL.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace tarvex::kernel {

class ImportGraph {
public:
    // `importer`'s body imported `imported`. A module importing itself
    // depends on nothing new and is not recorded.
    void record(const std::string &importer, const std::string &imported);

    // `importer` no longer stands for what its body imported (it is gone
    // from sys.modules, or its body is about to run again).
    void forget_imports_of(const std::string &importer);

    // Every module that imports `changed` directly or through others, each
    // once, nearest first; `changed` itself is never among them, so cycles
    // end.
    std::vector<std::string> importers_of(const std::string &changed) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::set<std::string>> imports_;    // importer -> what it imported
    std::map<std::string, std::set<std::string>> importers_;  // imported -> who imported it
};

}  // namespace tarvex::kernel
