#include "convert/write_motion.h"

namespace tolvak {

bool writeMotion(const std::string&) { return true; }  // not yet built

}  // namespace tolvak
