// Reading a node's fields and list items as ast's generic_visit reads
// them, one frame at a time, and writing back what a transformer's visit
// of each gave: the general road, which makes every read that may run code.
#pragma once

#include "method_roads.h"

namespace qw::visiting {

class FieldSteps : protected MethodRoads {
protected:
    using MethodRoads::MethodRoads;

    // The next child to visit, reading fields and list items as the
    // standard generic_visit does, when it gets to them; null at the end.
    Strong next_child(Frame& f);

    // What NodeTransformer.generic_visit does with what visiting a child gave.
    void take_result(Frame& f, Strong r);

private:
    // Declared inline: defined in field_steps.cpp, for the two above.

    // The next field name of `f.node._fields`; null at the end.
    inline Strong next_field(Frame& f);

    // Takes up a frame: the node's `_fields`, from its class's facts where
    // reading them would run no code.
    inline void start(Frame& f);

    // getattr(node, name) for field `j`; null when missing.
    inline Strong field_value(Frame& f, Py_ssize_t j, PyObject* name);

    // `for item in value`: an exact list by index, as its iterator does.
    inline Strong next_item(Frame& f);

    // old_value[:] = new_values
    inline void replace_items(PyObject* list, PyObject* values);

    // Whether setting field `name` of `f.node` to `r` frees the value it
    // replaces, or may run code otherwise (where that is not known).
    inline bool replaced_is_freed(const Frame& f, const Strong& name, const Strong& r);

    // Whether a node's dict (a readable one: see instance_dict) holds its
    // own `_fields`, which no parsed node does.
    inline bool shadows_fields(PyObject* dict) const;
};

}  // namespace qw::visiting
