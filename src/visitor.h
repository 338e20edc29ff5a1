// NodeVisitor and NodeTransformer, the classes that ast.NodeVisitor and
// ast.NodeTransformer subclasses switch to by changing their base class.
#pragma once

#include "strong.h"

namespace qw {

// Creates both classes for `module` (its own pair per interpreter) and adds
// them as module attributes.
void add_visitor_types(PyObject* module);

}  // namespace qw
