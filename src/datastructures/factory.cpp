// tavik.datastructures.factory
#include "frame/frame.hpp"

namespace {

void body(frame::Body&) {}

}  // namespace

TAVIK_MODULE(body, nullptr, false)
