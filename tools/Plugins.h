#pragma once
// Plugin modules of node kinds: shared objects that export data_flow_plugin_register().

#include <stdexcept>
#include <string>
#include <vector>

namespace dataflow {

/** The plugin modules a run uses, opened with dlopen. They stay open until this object goes,
    which must be after Library::terminate: the catalogue holds their creation functions. */
class Plugins {
public:
    Plugins() = default;
    ~Plugins();
    Plugins(Plugins const&) = delete;
    Plugins& operator=(Plugins const&) = delete;

    /** Opens the files given, then every .so in the directories of DATA_FLOW_PLUGIN_PATH
        (colon-separated, in order, the files of a directory by name). Throws
        std::runtime_error naming the file when one cannot be opened. */
    void open(std::vector<std::string> const& files);
    //! Calls every opened module's data_flow_plugin_register(), in opening order.
    void registerKinds();

private:
    std::vector<void*> handles_;
    std::vector<std::string> paths_;
};

} // namespace dataflow
