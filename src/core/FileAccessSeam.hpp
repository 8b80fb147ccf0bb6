#pragma once

#include <string>

namespace stowage::seams {

/// When set, DirectFileAccess calls this with the path of each temporary file of a write or a file
/// copy right after creating it and before changing its mode or writing to it, so that a test can
/// see the permission bits the file was born with. Null outside tests; set it only while no write runs.
extern void (*onTemporaryCreated)(const std::string& path);

} // namespace stowage::seams
