#pragma once
// The sinks of the example plugin module that write an image to a file.

namespace demo {

//! Registers "write-png" and "write-pgm" with the node catalogue (the library must be up).
void registerFileKinds();

} // namespace demo
