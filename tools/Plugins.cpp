#include "Plugins.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace dataflow {

namespace {

std::vector<std::string> pathDirectories() {
    std::vector<std::string> result;
    char const* value = std::getenv("DATA_FLOW_PLUGIN_PATH");
    std::istringstream list(value ? value : "");
    for (std::string dir; std::getline(list, dir, ':');)
        if (!dir.empty())
            result.push_back(dir);
    return result;
}

} // namespace

Plugins::~Plugins() {
    for (auto it = handles_.rbegin(); it != handles_.rend(); ++it)
        dlclose(*it);
}

void Plugins::open(std::vector<std::string> const& files) {
    std::vector<std::string> paths = files;
    for (std::string const& dir : pathDirectories()) {
        std::vector<std::string> found;
        std::error_code error;
        for (auto const& item : std::filesystem::directory_iterator(dir, error))
            if (item.path().extension() == ".so")
                found.push_back(item.path().string());
        std::sort(found.begin(), found.end());
        paths.insert(paths.end(), found.begin(), found.end());
    }
    for (std::string const& path : paths) {
        // A bare file name would make dlopen search the library path instead of the folder.
        std::string const where = path.find('/') == std::string::npos ? "./" + path : path;
        void* handle = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            throw std::runtime_error("cannot load the plugin " + path + ": " + dlerror());
        handles_.push_back(handle);
        paths_.push_back(path);
    }
}

void Plugins::registerKinds() {
    for (std::size_t i = 0; i < handles_.size(); ++i) {
        auto const entry =
            reinterpret_cast<void (*)()>(dlsym(handles_[i], "data_flow_plugin_register"));
        if (entry == nullptr)
            throw std::runtime_error("the plugin " + paths_[i] +
                                     " has no data_flow_plugin_register()");
        entry();
    }
}

} // namespace dataflow
