#include "kernel/execution/import_graph.hpp"

#include <deque>

namespace tarvex::kernel {

void ImportGraph::record(const std::string &importer, const std::string &imported) {
    if (importer == imported)
        return;
    std::lock_guard<std::mutex> held(mutex_);
    if (imports_[importer].insert(imported).second)
        importers_[imported].insert(importer);
}

void ImportGraph::forget_imports_of(const std::string &importer) {
    std::lock_guard<std::mutex> held(mutex_);
    auto found = imports_.find(importer);
    if (found == imports_.end())
        return;
    for (const std::string &imported : found->second) {
        auto back = importers_.find(imported);
        back->second.erase(importer);
        if (back->second.empty())
            importers_.erase(back);
    }
    imports_.erase(found);
}

std::vector<std::string> ImportGraph::importers_of(const std::string &changed) const {
    std::lock_guard<std::mutex> held(mutex_);
    std::vector<std::string> reached;
    std::set<std::string> seen{changed};
    std::deque<const std::string *> pending{&changed};
    while (!pending.empty()) {
        const std::string &name = *pending.front();
        pending.pop_front();
        auto found = importers_.find(name);
        if (found == importers_.end())
            continue;
        for (const std::string &importer : found->second) {
            if (seen.insert(importer).second) {
                reached.push_back(importer);
                pending.push_back(&importer);
            }
        }
    }
    return reached;
}

}  // namespace tarvex::kernel
