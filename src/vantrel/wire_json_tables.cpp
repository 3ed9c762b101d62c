// The table rule written as JSON text. to_wire takes the rows of the
// frame's `values` as Python lists; here a frame of numpy number, bool and
// object columns is written column by column from the columns' own
// buffers instead, with the cells `values` would have held: numeric
// columns are formatted without the GIL and without boxing a number. Any
// other frame (dates, categories, extension types, wide or small frames,
// subclasses) takes to_wire's rows.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "vantrel/refs.hpp"
#include "vantrel/wire_json.hpp"

namespace vantrel {

namespace {

// Below this many rows, or with fewer rows than columns, the pandas calls
// per column cost more than they spare.
constexpr Py_ssize_t kColumnarRows = 16;

// A column's storage in its buffer.
enum class Storage { F16, F32, F64, I8, I16, I32, I64, U8, U16, U32, U64, Bool, Object };

// What its cells are in the frame's `values`: a float, an int, a bool, or
// the object itself.
enum class Cell { Float, Int, Bool, Object };

bool storage_of(char kind, long itemsize, Storage &storage) {
    static constexpr Storage floats[] = {Storage::F16, Storage::F32, Storage::F64};
    static constexpr Storage ints[] = {Storage::I8, Storage::I16, Storage::I32, Storage::I64};
    static constexpr Storage uints[] = {Storage::U8, Storage::U16, Storage::U32, Storage::U64};
    int size_class = itemsize == 1 ? 0 : itemsize == 2 ? 1 : itemsize == 4 ? 2 : itemsize == 8 ? 3 : -1;
    switch (kind) {
        case 'f':
            if (size_class < 1)
                return false;
            storage = floats[size_class - 1];
            return true;
        case 'i':
            if (size_class < 0)
                return false;
            storage = ints[size_class];
            return true;
        case 'u':
            if (size_class < 0)
                return false;
            storage = uints[size_class];
            return true;
        case 'b':
            storage = Storage::Bool;
            return itemsize == 1;
        case 'O':
            storage = Storage::Object;
            return true;
        default:
            return false;
    }
}

// The buffer format characters a storage may be exported as (native order).
const char *formats_of(Storage storage) {
    switch (storage) {
        case Storage::F16:
            return "e";
        case Storage::F32:
            return "f";
        case Storage::F64:
            return "d";
        case Storage::I8:
        case Storage::I16:
        case Storage::I32:
        case Storage::I64:
            return "bhilq";
        case Storage::U8:
        case Storage::U16:
        case Storage::U32:
        case Storage::U64:
            return "BHILQ";
        case Storage::Bool:
            return "?";
        case Storage::Object:
            return "O";
    }
    return "";
}

// Room for one numeric cell: the longest head, number and tail.
constexpr size_t kCellRoom = 80;
// Rows written per release of the GIL.
constexpr Py_ssize_t kBatch = 2048;
// Room for a row's brackets and the comma before it.
constexpr size_t kRowRoom = 1 + kArrayHead.size() + kArrayTail.size();

char *put(char *at, std::string_view text) {
    std::memcpy(at, text.data(), text.size());
    return at + text.size();
}

double half_to_double(uint16_t half) {
    int exponent = (half >> 10) & 0x1F;
    int mantissa = half & 0x3FF;
    double magnitude;
    if (exponent == 0)
        magnitude = std::ldexp(mantissa, -24);
    else if (exponent == 31)
        magnitude = mantissa ? NAN : INFINITY;
    else
        magnitude = std::ldexp(mantissa | 0x400, exponent - 25);
    return (half & 0x8000) ? -magnitude : magnitude;
}

// dtype.kind and dtype.itemsize of a numpy dtype; false for anything else.
bool numpy_kind(nb::handle dtype, char &kind, long &itemsize) {
    if (!PyObject_TypeCheck(dtype.ptr(), refs.np_dtype))
        return false;
    nb::object kind_text = dtype.attr(names.kind);
    if (!PyUnicode_Check(kind_text.ptr()) || PyUnicode_GET_LENGTH(kind_text.ptr()) != 1)
        return false;
    kind = static_cast<char>(PyUnicode_READ_CHAR(kind_text.ptr(), 0));
    itemsize = PyLong_AsLong(nb::object(dtype.attr(names.itemsize)).ptr());
    if (itemsize == -1 && PyErr_Occurred())
        throw nb::python_error();
    return true;
}

// One column's 1-D array, held with its buffer for the whole write.
class Column {
public:
    Column(nb::object array, Storage storage, Cell cell)
        : array_(std::move(array)), storage_(storage), cell_(cell) {}
    ~Column() {
        if (view_.obj)
            PyBuffer_Release(&view_);
    }
    Column(const Column &) = delete;
    Column &operator=(const Column &) = delete;

    // False when the array does not export `rows` items of its storage.
    bool open(Py_ssize_t rows) {
        if (PyObject_GetBuffer(array_.ptr(), &view_, PyBUF_RECORDS_RO) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_Exception))
                throw nb::python_error();
            PyErr_Clear();
            return false;
        }
        const char *format = view_.format ? view_.format : "B";
        if (*format == '@' || *format == '=' ||
            (*format == '<' && std::endian::native == std::endian::little))
            ++format;
        return view_.ndim == 1 && view_.shape[0] == rows && format[0] && !format[1] &&
               std::strchr(formats_of(storage_), format[0]) && view_.itemsize == item_size();
    }

    Cell cell() const { return cell_; }

    // f(the row's value, as the C++ type it is stored as; a half float
    // widened to double). Bool and object columns are read elsewhere.
    template <typename F>
    auto with_value(Py_ssize_t row, F f) const {
        switch (storage_) {
            case Storage::F16:
                return f(half_to_double(load<uint16_t>(row)));
            case Storage::F32:
                return f(load<float>(row));
            case Storage::F64:
                return f(load<double>(row));
            case Storage::I8:
                return f(load<int8_t>(row));
            case Storage::I16:
                return f(load<int16_t>(row));
            case Storage::I32:
                return f(load<int32_t>(row));
            case Storage::I64:
                return f(load<int64_t>(row));
            case Storage::U8:
                return f(load<uint8_t>(row));
            case Storage::U16:
                return f(load<uint16_t>(row));
            case Storage::U32:
                return f(load<uint32_t>(row));
            default:
                return f(load<uint64_t>(row));
        }
    }
    double as_double(Py_ssize_t row) const {
        return with_value(row, [](auto value) { return static_cast<double>(value); });
    }
    // Integers as the widest integer of their signedness; never asked of
    // a float column.
    template <typename F>
    auto with_integer(Py_ssize_t row, F f) const {
        return with_value(row, [&](auto value) {
            using T = decltype(value);
            if constexpr (std::is_signed_v<T> && std::is_integral_v<T>)
                return f(static_cast<long long>(value));
            else
                return f(static_cast<unsigned long long>(value));
        });
    }
    bool as_bool(Py_ssize_t row) const { return load<uint8_t>(row) != 0; }
    PyObject *object_at(Py_ssize_t row) const { return load<PyObject *>(row); }

    // Writes the cell's wire text (at most kCellRoom characters) at `at`
    // and returns its end; touches no Python object.
    char *format_cell(Py_ssize_t row, char *at) const {
        switch (cell_) {
            case Cell::Float:
                at = put(at, kFloatHead);
                at = format_double(as_double(row), at);
                return put(at, kPlainTail);
            case Cell::Int:
                at = put(at, kIntHead);
                at = with_integer(row, [at](auto value) { return format_integer(value, at); });
                return put(at, kPlainTail);
            case Cell::Bool:
                return put(at, as_bool(row) ? kTrueWire : kFalseWire);
            case Cell::Object:
                break;
        }
        return at;
    }

    // The cell as `values.tolist()` gives it.
    nb::object boxed(Py_ssize_t row) const {
        switch (cell_) {
            case Cell::Float:
                return owned(PyFloat_FromDouble(as_double(row)));
            case Cell::Int:
                return owned(with_integer(row, [](auto value) {
                    if constexpr (std::is_signed_v<decltype(value)>)
                        return PyLong_FromLongLong(value);
                    else
                        return PyLong_FromUnsignedLongLong(value);
                }));
            case Cell::Bool:
                return nb::borrow(as_bool(row) ? Py_True : Py_False);
            case Cell::Object:
                return nb::borrow(object_at(row));
        }
        return nb::none();
    }

private:
    Py_ssize_t item_size() const {
        switch (storage_) {
            case Storage::I8:
            case Storage::U8:
            case Storage::Bool:
                return 1;
            case Storage::F16:
            case Storage::I16:
            case Storage::U16:
                return 2;
            case Storage::F32:
            case Storage::I32:
            case Storage::U32:
                return 4;
            default:
                return 8;
        }
    }
    template <typename T>
    T load(Py_ssize_t row) const {
        T value;
        std::memcpy(&value, static_cast<const char *>(view_.buf) + row * view_.strides[0], sizeof value);
        return value;
    }

    nb::object array_;
    Storage storage_;
    Cell cell_;
    Py_buffer view_{};
};

using Columns = std::vector<std::unique_ptr<Column>>;

// The cell kind every column takes in `values` of the dtype pandas picks
// for the whole frame.
bool cell_of(char common_kind, Storage storage, Cell &cell) {
    if (common_kind == 'O') {
        switch (storage) {
            case Storage::F16:
            case Storage::F32:
            case Storage::F64:
                cell = Cell::Float;
                return true;
            case Storage::Bool:
                cell = Cell::Bool;
                return true;
            case Storage::Object:
                cell = Cell::Object;
                return true;
            default:
                cell = Cell::Int;
                return true;
        }
    }
    if (storage == Storage::Object || (storage == Storage::Bool) != (common_kind == 'b'))
        return false;
    if (common_kind == 'f') {
        cell = Cell::Float;
        return true;
    }
    if (common_kind == 'i' || common_kind == 'u') {
        if (storage == Storage::F16 || storage == Storage::F32 || storage == Storage::F64)
            return false;
        cell = Cell::Int;
        return true;
    }
    cell = Cell::Bool;
    return common_kind == 'b';
}

// The columns of a frame that can be written from their buffers, or none.
Columns open_columns(nb::handle frame, Py_ssize_t rows, Py_ssize_t cols) {
    if (!refs.pd_find_common_type)
        return {};
    nb::object dtypes = frame.attr(names.dtypes).attr(names.tolist)();
    if (!PyList_CheckExact(dtypes.ptr()) || PyList_GET_SIZE(dtypes.ptr()) != cols)
        return {};
    std::vector<Storage> storages;
    for (Py_ssize_t j = 0; j < cols; ++j) {
        char kind;
        long itemsize;
        Storage storage;
        if (!numpy_kind(PyList_GET_ITEM(dtypes.ptr(), j), kind, itemsize) ||
            !storage_of(kind, itemsize, storage))
            return {};
        storages.push_back(storage);
    }
    char common_kind;
    long common_size;
    nb::object common = owned(PyObject_CallOneArg(refs.pd_find_common_type, dtypes.ptr()));
    if (!numpy_kind(common, common_kind, common_size) || (common_kind == 'f' && common_size > 8))
        return {};

    nb::object iloc = frame.attr(names.iloc);
    nb::object all_rows = owned(PySlice_New(nullptr, nullptr, nullptr));
    Columns columns;
    for (Py_ssize_t j = 0; j < cols; ++j) {
        Cell cell;
        if (!cell_of(common_kind, storages[j], cell))
            return {};
        nb::object series = iloc[nb::make_tuple(all_rows, j)];
        auto column = std::make_unique<Column>(series.attr(names.to_numpy)(), storages[j], cell);
        if (!column->open(rows))
            return {};
        columns.push_back(std::move(column));
    }
    return columns;
}

// One row whose cells go through a replaced Serializer.to_wire.
void append_row_converted(const Columns &columns, Py_ssize_t row, const ElementConverter &convert,
                          JsonOut &out) {
    out.append(kArrayHead);
    for (size_t j = 0; j < columns.size(); ++j) {
        if (j)
            out.push_back(',');
        append_json(convert(columns[j]->boxed(row)), out);
    }
    out.append(kArrayTail);
}

// Frames of numbers and bools only: no cell runs Python code, so the rows
// are written without the GIL once the converter is known to be ours, a
// batch at a time into room taken before (bounded by the longest cells).
void append_numeric_rows(const Columns &columns, Py_ssize_t rows, JsonOut &out) {
    ElementConverter convert(names.to_wire, refs.to_wire_fn);
    if (!convert.direct()) {
        for (Py_ssize_t i = 0; i < rows; ++i) {
            out.push_back(',');
            append_row_converted(columns, i, convert, out);
        }
        return;
    }
    const size_t row_room = kRowRoom + columns.size() * (kCellRoom + 1);
    out.reserve(static_cast<size_t>(rows) * (kRowRoom + columns.size() * kElementGuess));
    for (Py_ssize_t first = 0; first < rows; first += kBatch) {
        const Py_ssize_t end = std::min(rows, first + kBatch);
        char *begin = out.room(static_cast<size_t>(end - first) * row_room);
        char *at = begin;
        {
            nb::gil_scoped_release unlocked;
            for (Py_ssize_t i = first; i < end; ++i) {
                *at++ = ',';
                at = put(at, kArrayHead);
                for (size_t j = 0; j < columns.size(); ++j) {
                    if (j)
                        *at++ = ',';
                    at = columns[j]->format_cell(i, at);
                }
                at = put(at, kArrayTail);
            }
        }
        out.advance(static_cast<size_t>(at - begin));
    }
}

// Frames with object columns, a batch of rows at a time: the numeric
// cells of the batch are formatted without the GIL, then its rows are put
// together with it, object cells through the rules. Those may run user
// code, which may even replace Serializer.to_wire: each row looks the
// converter up, as to_wire does. The batch buffers are reused, so memory
// is touched for the output alone (a page first touched costs more here
// than formatting what goes on it).
void append_mixed_rows(const Columns &columns, Py_ssize_t rows, JsonOut &out) {
    struct Formatted {
        std::unique_ptr<char[]> text;
        size_t ends[kBatch];
    };
    std::vector<std::unique_ptr<Formatted>> formatted(columns.size());
    for (size_t j = 0; j < columns.size(); ++j) {
        if (columns[j]->cell() == Cell::Object)
            continue;
        formatted[j] = std::make_unique<Formatted>();
        formatted[j]->text.reset(new char[kBatch * kCellRoom]);
    }
    out.reserve(static_cast<size_t>(rows) * (kRowRoom + columns.size() * kElementGuess));
    for (Py_ssize_t first = 0; first < rows; first += kBatch) {
        const Py_ssize_t count = std::min(kBatch, rows - first);
        {
            nb::gil_scoped_release unlocked;
            for (size_t j = 0; j < columns.size(); ++j) {
                Formatted *f = formatted[j].get();
                if (!f)
                    continue;
                char *at = f->text.get();
                for (Py_ssize_t k = 0; k < count; ++k) {
                    at = columns[j]->format_cell(first + k, at);
                    f->ends[k] = static_cast<size_t>(at - f->text.get());
                }
            }
        }
        for (Py_ssize_t k = 0; k < count; ++k) {
            const Py_ssize_t row = first + k;
            out.push_back(',');
            ElementConverter convert(names.to_wire, refs.to_wire_fn);
            if (!convert.direct()) {
                append_row_converted(columns, row, convert, out);
                continue;
            }
            out.append(kArrayHead);
            for (size_t j = 0; j < columns.size(); ++j) {
                if (j)
                    out.push_back(',');
                const Formatted *f = formatted[j].get();
                if (!f) {
                    nb::object cell = nb::borrow(columns[j]->object_at(row));
                    append_wire(cell, out);
                    continue;
                }
                size_t begin = k ? f->ends[k - 1] : 0;
                out.append(std::string_view(f->text.get() + begin, f->ends[k] - begin));
            }
            out.append(kArrayTail);
        }
    }
}

// True when the frame was written column by column; false (and nothing
// written) when it is not of that kind.
bool append_by_columns(nb::handle frame, JsonOut &out) {
    // A subclass may give other `values` than its columns hold.
    if (Py_TYPE(frame.ptr()) != refs.pd_dataframe)
        return false;
    nb::object shape = frame.attr(names.shape);
    Py_ssize_t rows = nb::cast<Py_ssize_t>(shape[0]), cols = nb::cast<Py_ssize_t>(shape[1]);
    if (cols == 0 || rows < kColumnarRows || rows < cols)
        return false;
    Columns columns = open_columns(frame, rows, cols);
    if (columns.empty())
        return false;

    nb::object header = frame.attr(names.columns).attr(names.tolist)();
    out.append(kArrayHead);
    append_wire(header, out);
    bool numeric = true;
    for (const auto &column : columns) numeric = numeric && column->cell() != Cell::Object;
    if (numeric)
        append_numeric_rows(columns, rows, out);
    else
        append_mixed_rows(columns, rows, out);
    out.append(kArrayTail);
    return true;
}

}  // namespace

void append_table(nb::handle table, JsonOut &out) {
    ElementConverter convert(names.to_wire, refs.to_wire_fn);
    if (convert.direct()) {
        nb::object frame = PyObject_TypeCheck(table.ptr(), refs.pd_series) ? table.attr(names.to_frame)()
                                                                           : nb::borrow(table);
        if (append_by_columns(frame, out))
            return;
    }
    append_element(convert, table_rows(table), out);
}

}  // namespace vantrel
