// What a statement of one model may name: the columns its filters name, and
// order terms made of declared columns only, never SQL text from the caller.
// The executor and the pager follow the same rules.
//
// An order term is a property of the model (ascending), the order term that
// asc()/desc() makes of a property or of an expression of the model's
// columns, or the text of a column of the model (bare or quoted, optionally
// qualified by its table) with an optional ASC or DESC.  Anything else is
// refused, so no caller-supplied text reaches a statement.  The rendered term
// is "<table>.<column> ASC|DESC", each identifier quoted when it is a keyword
// of the dialect.
#pragma once

#include "sql.hpp"

#include <string>
#include <string_view>
#include <vector>

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

// ---------------------------------------------------------------------------
// The columns a filter or a term names.
// ---------------------------------------------------------------------------

inline bool isExpressionObject(const ColumnsApi* columns, PyObject* o) {
    return columns->Expression && PyObject_TypeCheck(o, columns->Expression);
}

// Appends the column properties that `term` (a property, an expression or a
// value) names to `props`, and tells whether it computes an aggregate.
// Expressions nest a bounded number of levels; no Python code runs.
inline void collectTermColumns(const ColumnsApi* columns, PyObject* term, std::vector<Ref>& props, bool& aggregate) {
    if (PyObject_TypeCheck(term, columns->BaseProperty)) {
        props.push_back(Ref::borrow(term));
        return;
    }
    if (!isExpressionObject(columns, term)) return;
    auto* e = reinterpret_cast<ExpressionObject*>(term);
    if (isAggregateKind(e->kind)) aggregate = true;
    collectTermColumns(columns, e->left, props, aggregate);
    collectTermColumns(columns, e->right, props, aggregate);
}

// The same for every cell of a filter chain: its column cells and the
// expressions its cells hold.  A chain linked into itself ends the walk (the
// renderer reports it).
inline void collectFilterColumns(const ColumnsApi* columns, PyObject* where, std::vector<Ref>& props, bool& aggregate) {
    if (where == Py_None || !PyObject_TypeCheck(where, columns->FilterListCell)) return;
    auto nextOf = [&](PyObject* cell) -> PyObject* {
        PyObject* next = reinterpret_cast<FilterListCellObject*>(cell)->next;
        return next && next != Py_None && PyObject_TypeCheck(next, columns->FilterListCell) ? next : nullptr;
    };
    PyObject* slow = where;
    size_t steps = 0;
    for (PyObject* cell = where; cell;) {
        auto* c = reinterpret_cast<FilterListCellObject*>(cell);
        if (c->col && PyObject_TypeCheck(c->col, columns->BaseProperty)) props.push_back(Ref::borrow(c->col));
        else if (c->value) collectTermColumns(columns, c->value, props, aggregate);
        cell = nextOf(cell);
        if (++steps % 2 == 0) slow = nextOf(slow);
        if (cell && cell == slow) return;
    }
}

// "model.column" of a property for messages.
inline Ref columnLabel(PyObject* prop) {
    auto* p = reinterpret_cast<BasePropertyObject*>(prop);
    PyObject* name = p->name && PyUnicode_Check(p->name) ? p->name : Py_None;
    return Ref::steal(PyUnicode_FromFormat("%s.%S", modelName(p->model), name));
}

// ---------------------------------------------------------------------------
// Order terms.
// ---------------------------------------------------------------------------

// Reads one identifier of an order text at `pos`: bare (up to '.', a blank
// or the end) or quoted with " or ` (a doubled quote stands for one).
inline bool readIdentifier(std::string_view text, size_t& pos, std::string& out) {
    out.clear();
    if (pos >= text.size()) return false;
    char q = text[pos];
    if (q == '"' || q == '`') {
        for (++pos; pos < text.size(); ++pos) {
            if (text[pos] == q) {
                if (pos + 1 < text.size() && text[pos + 1] == q) {
                    out.push_back(q);
                    ++pos;
                    continue;
                }
                ++pos;
                return !out.empty();
            }
            out.push_back(text[pos]);
        }
        return false;
    }
    while (pos < text.size() && text[pos] != '.' && text[pos] != ' ') out.push_back(text[pos++]);
    return !out.empty();
}

// The column and direction an order text names: "[table.]column [ASC|DESC]",
// the names bare or quoted.  Null when the text names no column of `model`.
inline Borrowed parseOrderText(const ColumnsApi* columns, PyObject* table, PyObject* cols, PyObject* term,
                               std::string& dir) {
    std::string_view text = utf8(term);
    size_t pos = 0;
    std::string first, second;
    if (!readIdentifier(text, pos, first)) return Borrowed(nullptr);
    std::string column = first;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        if (!readIdentifier(text, pos, second) || first != utf8(table)) return Borrowed(nullptr);
        column = second;
    }
    while (pos < text.size() && text[pos] == ' ') ++pos;
    if (pos < text.size()) {
        std::string upper(text.substr(pos));
        for (char& c : upper) c = (char)((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
        if (upper != "ASC" && upper != "DESC")
            raise(PyExc_ValueError, "order term %R: the direction must be ASC or DESC", term);
        dir = upper;
    }
    return findColumn(columns, cols, column);
}

// The order text of one term for a read of `model` (table `table`, column
// list `cols`): a property of the model, its text, or an order term
// (asc()/desc()) of a property of the model or of an expression of its
// columns that binds no value.  `generator` renders expressions.
inline std::string orderTermText(const ColumnsApi* columns, const GeneratorApi* generator, PyObject* model,
                                 PyObject* table, PyObject* cols, PyObject* term, int dialect) {
    std::string dir = "ASC";
    Ref target = Ref::borrow(term);
    if (PyObject_TypeCheck(term, columns->OrderTerm)) {
        auto* t = reinterpret_cast<OrderTermObject*>(term);
        target = Ref::borrow(t->term);
        dir = t->descending ? "DESC" : "ASC";
    }
    PyObject* prop = nullptr;
    if (PyObject_TypeCheck(target.get(), columns->BaseProperty)) {
        if (!columnOfModel(target.get(), model))
            raise(PyExc_ValueError, "order term %s.%S: a column of another model; order by columns of %s",
                  modelName(target.as<BasePropertyObject>()->model), target.as<BasePropertyObject>()->name,
                  modelName(model));
        prop = target.get();
    } else if (isExpressionObject(columns, target.get())) {
        std::vector<Ref> props;
        bool aggregate = false;
        collectTermColumns(columns, target.get(), props, aggregate);
        if (aggregate) raise(PyExc_ValueError, "order term %R: an aggregate orders the groups of values() only", term);
        for (const Ref& p : props)
            if (!columnOfModel(p.get(), model))
                raise(PyExc_ValueError, "order term %R names %U, a column of another model; order by columns of %s",
                      term, columnLabel(p.get()).get(), modelName(model));
        Ref args = Ref::steal(PyList_New(0));
        Ref text = Ref::steal(generator->renderTerm(target.get(), args.get(), 1));
        if (PyList_GET_SIZE(args.get()))
            raise(PyExc_ValueError, "order term %R binds values; order rows by columns and expressions of columns",
                  term);
        std::string out(utf8(text.get()));
        out += ' ';
        out += dir;
        return out;
    } else {
        if (!PyUnicode_Check(target.get())) raiseArgType("orderBy", "property, order term or str", target.get());
        prop = parseOrderText(columns, table, cols, target.get(), dir).get();
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

// Refuses a filter naming a column of another model or computing an
// aggregate: a statement that reads its own model's table only (a page).
inline void requireOwnColumns(const ColumnsApi* columns, PyObject* model, PyObject* where) {
    std::vector<Ref> props;
    bool aggregate = false;
    collectFilterColumns(columns, where, props, aggregate);
    for (const Ref& p : props) {
        if (columnOfModel(p.get(), model)) continue;
        PyObject* owner = p.as<BasePropertyObject>()->model;
        raise(PyExc_ValueError,
              "the filter on %U names a column of %s, which this statement of %s does not read; "
              "filter on columns of %s",
              columnLabel(p.get()).get(), modelName(owner), modelName(model), modelName(model));
    }
    if (aggregate)
        raise(PyExc_ValueError, "a filter of rows cannot compute an aggregate; aggregates filter the groups of "
                                "values() (having=)");
}

}  // namespace quillon
