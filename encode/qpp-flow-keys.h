// The key strings of the flow dictionary, made once per sub-interpreter.
//
// Building each key from its C string on every insert costs more than the
// values do; a table of ready str objects (with their hashes cached) makes
// every insert a plain dictionary store. The objects belong to the
// sub-interpreter that made them: the table is owned by the plugin instance,
// created lazily on its worker inside that sub-interpreter, and destroyed
// there before the sub-interpreter ends.
#pragma once

struct qppFlowKeys;

struct qppFlowKeysDeleter
{
    // Needs the interpreter lock with the owning sub-interpreter current.
    void operator()(qppFlowKeys *keys) const;
};
