// What a statement of one model may name: its own columns in filters, and
// order terms made of declared columns only, never SQL text from the caller.
// The executor and the pager follow the same rules.
//
// An order term is a property of the model (ascending) or the text of a column of
// the model, optionally qualified by its table, with an optional ASC or DESC.
// Anything else is refused, so no caller-supplied text reaches a statement.
// The rendered term is "<table>.<column> ASC|DESC", each identifier quoted
// when it is a keyword of the dialect.
#pragma once

#include "sql.hpp"

#include <string>
#include <string_view>

namespace quillon {

// A model's name for messages: its class name.
inline const char* modelName(PyObject* model) {
    if (!model || model == Py_None) return "no model";
    return PyType_Check(model) ? reinterpret_cast<PyTypeObject*>(model)->tp_name : Py_TYPE(model)->tp_name;
}

// The column property of `model` (its column list `cols`) named `name`, or
// null; anything in the list that is not a property is no column.  No Python
// code runs in the walk.
inline Borrowed findColumn(const ColumnsApi* columns, PyObject* cols, std::string_view name) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols); ++i) {
        Borrowed item = listItem(cols, i);
        if (!PyObject_TypeCheck(item.get(), columns->BaseProperty)) continue;
        PyObject* columnName = item.as<BasePropertyObject>()->name;
        if (columnName && PyUnicode_Check(columnName) && utf8(columnName) == name) return item;
    }
    return Borrowed(nullptr);
}

// Whether `prop` is a column of the model a statement reads (the model
// itself or one of its bases declared it).
inline bool columnOfModel(PyObject* prop, PyObject* model) {
    PyObject* owner = reinterpret_cast<BasePropertyObject*>(prop)->model;
    if (owner == model) return true;
    return owner && PyType_Check(owner) && PyType_Check(model) &&
           PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(model), reinterpret_cast<PyTypeObject*>(owner));
}

// The order text of one term for a read of `model` (table `table`, column
// list `cols`).
inline std::string orderTermText(const ColumnsApi* columns, PyObject* model, PyObject* table, PyObject* cols,
                                 PyObject* term, int dialect) {
    PyObject* prop = nullptr;
    std::string dir = "ASC";
    if (PyObject_TypeCheck(term, columns->BaseProperty)) {
        if (!columnOfModel(term, model))
            raise(PyExc_ValueError, "order term %s.%S: a column of another model; order by columns of %s",
                  modelName(reinterpret_cast<BasePropertyObject*>(term)->model),
                  reinterpret_cast<BasePropertyObject*>(term)->name, modelName(model));
        prop = term;
    } else {
        if (!PyUnicode_Check(term)) raiseArgType("orderBy", "property or str", term);
        std::string_view text = utf8(term);
        std::string_view column = text, direction;
        if (size_t sp = text.find(' '); sp != std::string_view::npos) {
            column = text.substr(0, sp);
            direction = text.substr(sp + 1);
        }
        if (!direction.empty()) {
            std::string upper(direction);
            for (char& c : upper) c = (char)((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
            if (upper != "ASC" && upper != "DESC")
                raise(PyExc_ValueError, "order term %R: the direction must be ASC or DESC", term);
            dir = upper;
        }
        std::string_view tableText = utf8(table);
        if (column.size() > tableText.size() + 1 && column.substr(0, tableText.size()) == tableText &&
            column[tableText.size()] == '.')
            column = column.substr(tableText.size() + 1);
        prop = findColumn(columns, cols, column).get();
        if (!prop)
            raise(PyExc_ValueError, "order term %R: not a column of %s (terms are columns with an optional ASC/DESC)",
                  term, modelName(model));
    }
    std::string out;
    appendQualified(out, utf8(table), utf8(reinterpret_cast<BasePropertyObject*>(prop)->name), dialect);
    out += ' ';
    out += dir;
    return out;
}

// Refuses a filter naming a column of another model: a statement reads its
// own model's table only (filters across relations are not supported).
inline void requireOwnColumns(const ColumnsApi* columns, PyObject* model, PyObject* where) {
    if (where == Py_None || !PyObject_TypeCheck(where, columns->FilterListCell)) return;
    auto nextOf = [&](PyObject* cell) -> PyObject* {
        PyObject* next = reinterpret_cast<FilterListCellObject*>(cell)->next;
        return next && next != Py_None && PyObject_TypeCheck(next, columns->FilterListCell) ? next : nullptr;
    };
    // No Python code runs in this walk; a chain linked into itself ends it
    // (the renderer reports that).
    PyObject* slow = where;
    size_t steps = 0;
    for (PyObject* cell = where; cell;) {
        PyObject* col = reinterpret_cast<FilterListCellObject*>(cell)->col;
        if (col && PyObject_TypeCheck(col, columns->BaseProperty) && !columnOfModel(col, model)) {
            auto* prop = reinterpret_cast<BasePropertyObject*>(col);
            PyObject* name = prop->name && PyUnicode_Check(prop->name) ? prop->name : Py_None;
            raise(PyExc_ValueError,
                  "the filter on %s.%S names a column of %s, which this statement of %s does not read; "
                  "filter on columns of %s (filters across relations are not supported)",
                  modelName(prop->model), name, modelName(prop->model), modelName(model), modelName(model));
        }
        cell = nextOf(cell);
        if (++steps % 2 == 0) slow = nextOf(slow);
        if (cell && cell == slow) return;
    }
}

}  // namespace quillon
