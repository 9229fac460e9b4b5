#include "convert/read_motion.h"

namespace tolvak {

bool readMotion(const std::string&) { return true; }  // not yet built

}  // namespace tolvak
