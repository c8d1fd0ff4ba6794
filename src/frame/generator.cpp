// Generator objects returned by the generator functions of the package.
#include "frame/frame.hpp"

namespace frame {

// Registers the generator type with the standard abstract base classes.
// Modules that define generators call this before their own statements.
void register_generator_type() {}

}  // namespace frame
