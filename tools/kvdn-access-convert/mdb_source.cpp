// The Access reader over libmdb (see mdb_source.h).
#include "mdb_source.h"

// libmdb's header pulls in glib and the C library with old-style casts and
// unused parameters of its own; its warnings are not ours.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wpedantic"
#include <mdbtools.h>
#pragma GCC diagnostic pop

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

namespace kvdn::access {

namespace {

// Large Number (Access 2016), unknown to this libmdb's names.
constexpr int kMdbBigInt = 0x13;
// The flags in a row's offset entry, and the memo/OLE header's.
constexpr int kOffsetMask = 0x1fff;
constexpr std::uint32_t kLongValueInline = 0x80000000u;
constexpr std::uint32_t kLongValueSinglePage = 0x40000000u;
constexpr std::uint32_t kLongValueLength = 0x3fffffffu;
// Largest memo or OLE value accepted (the original's own limit is 1 GiB).
constexpr std::size_t kMaxLongValue = std::size_t{1} << 30;

std::uint64_t le(const unsigned char* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// An exact currency text from the stored count of ten-thousandths.
std::string currencyText(std::int64_t v) {
  const bool negative = v < 0;
  const std::uint64_t magnitude =
      negative ? 0ULL - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  std::string frac = std::to_string(magnitude % 10000);
  frac.insert(0, 4 - frac.size(), '0');
  return (negative ? "-" : "") + std::to_string(magnitude / 10000) + "." + frac;
}

// A string libmdb allocated with glib, freed on scope exit.
struct GText {
  char* p = nullptr;
  explicit GText(char* text) : p(text) {}
  GText(const GText&) = delete;
  GText& operator=(const GText&) = delete;
  ~GText() { g_free(p); }
  std::string str() const { return p ? std::string(p) : std::string(); }
};

struct TableDefDeleter {
  void operator()(MdbTableDef* t) const {
    if (t) mdb_free_tabledef(t);
  }
};
using TablePtr = std::unique_ptr<MdbTableDef, TableDefDeleter>;

// Checks the header before libmdb sees the file: an Access file starts with
// the page-0 mark and the engine's name, and is a whole number of pages.
void checkHeader(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const auto status = fs::status(path, ec);
  if (ec || !fs::exists(status)) throw SourceError("no such file");
  if (!fs::is_regular_file(status)) throw SourceError("not a file");
  const auto size = fs::file_size(path, ec);
  std::ifstream in(path, std::ios::binary);
  unsigned char head[0x20] = {};
  if (ec || !in.read(reinterpret_cast<char*>(head), sizeof head)) {
    if (!in.is_open()) throw SourceError(std::string("cannot be read (") + std::strerror(errno) + ")");
    throw SourceError("not an Access database (too short for one)");
  }
  const bool jet = std::memcmp(head + 4, "Standard Jet DB", 15) == 0;
  const bool ace = std::memcmp(head + 4, "Standard ACE DB", 15) == 0;
  if (head[0] != 0 || head[1] != 1 || head[2] != 0 || head[3] != 0 || (!jet && !ace)) {
    throw SourceError("not an Access database (it does not begin with an Access file header)");
  }
  const std::uintmax_t page = head[0x14] == 0 ? 2048 : 4096;
  if (size < 2 * page || size % page != 0) {
    throw SourceError("the file is truncated or damaged (" + std::to_string(size) +
                      " bytes is not a whole number of " + std::to_string(page) + "-byte pages)");
  }
}

class MdbRows final : public RowReader {
 public:
  MdbRows(MdbHandle* mdb, MdbTableDef* table, const TableDef& def, std::size_t filePages)
      : mdb_(mdb), table_(table), def_(def), fields_(table->num_cols), filePages_(filePages) {
    mdb_rewind_table(table_);
  }

  bool next(std::vector<Cell>& row) override {
    if (table_->num_cols == 0 || !mdb_fetch_row(table_)) {
      if (read_ < table_->num_rows) {
        throw SourceError("table " + def_.name + ": only " + std::to_string(read_) + " of its " +
                          std::to_string(table_->num_rows) +
                          " rows could be read; the file is damaged or truncated");
      }
      return false;
    }
    ++read_;
    // The row libmdb just accepted, cracked again for what its bindings do
    // not tell: whether each value is Null, and where its bytes are.
    int start = 0;
    size_t size = 0;
    if (mdb_find_row(mdb_, static_cast<int>(table_->cur_row) - 1, &start, &size) != 0) damaged("its offset");
    start &= kOffsetMask;
    const int n = mdb_crack_row(table_, start, size, fields_.data());
    if (n < 0) damaged("its layout");
    row.assign(def_.columns.size(), Cell::null());
    for (unsigned i = 0; i < table_->num_cols; ++i) {
      const MdbField& f = fields_[i];
      if (f.colnum < 0 || static_cast<unsigned>(f.colnum) >= table_->num_cols) damaged("a column number");
      auto* col = static_cast<MdbColumn*>(g_ptr_array_index(table_->columns, f.colnum));
      row[static_cast<std::size_t>(f.colnum)] = cell(col, f, static_cast<std::size_t>(f.colnum));
    }
    return true;
  }

 private:
  [[noreturn]] void damaged(const std::string& what) const {
    throw SourceError("table " + def_.name + ", row " + std::to_string(read_) + ": " + what +
                      " is damaged; the file cannot be converted whole");
  }
  [[noreturn]] void damagedCell(std::size_t col, const std::string& what) const {
    throw SourceError("table " + def_.name + ", row " + std::to_string(read_) + ", column " +
                      def_.columns[col].name + ": " + what);
  }

  Cell cell(MdbColumn* col, const MdbField& f, std::size_t index) {
    if (col->col_type == MDB_BOOL) return Cell::ofInteger(f.is_null ? 0 : 1);  // the null bit is the value
    if (f.is_null) return Cell::null();
    const int pageSize = static_cast<int>(mdb_->fmt->pg_size);
    if (f.start < 0 || f.siz < 0 || f.start > pageSize || f.siz > pageSize - f.start) {
      damagedCell(index, "the value lies outside its page (a damaged row)");
    }
    const unsigned char* p = mdb_->pg_buf + f.start;
    auto need = [&](int bytes) {
      if (f.siz < bytes) damagedCell(index, "the value is shorter than its type (a damaged row)");
    };
    switch (col->col_type) {
      case MDB_BYTE:
        need(1);
        return Cell::ofInteger(p[0]);
      case MDB_INT:
        need(2);
        return Cell::ofInteger(static_cast<std::int16_t>(le(p, 2)));
      case MDB_LONGINT:
        need(4);
        return Cell::ofInteger(static_cast<std::int32_t>(le(p, 4)));
      case kMdbBigInt:
        need(8);
        return Cell::ofInteger(static_cast<std::int64_t>(le(p, 8)));
      case MDB_MONEY:
        need(8);
        return Cell::ofDecimal(currencyText(static_cast<std::int64_t>(le(p, 8))));
      case MDB_FLOAT: {
        need(4);
        const auto bits = static_cast<std::uint32_t>(le(p, 4));
        float v;
        std::memcpy(&v, &bits, sizeof v);
        return Cell::ofReal(static_cast<double>(v));
      }
      case MDB_DOUBLE:
      case MDB_DATETIME: {
        need(8);
        const std::uint64_t bits = le(p, 8);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return col->col_type == MDB_DATETIME ? Cell::ofDate(v) : Cell::ofReal(v);
      }
      case MDB_NUMERIC: {
        need(17);
        GText text(mdb_numeric_to_string(mdb_, f.start, col->col_scale, col->col_prec));
        return Cell::ofDecimal(text.str());
      }
      case MDB_REPID: {
        need(16);
        GText text(mdb_uuid_to_string(mdb_->pg_buf, f.start));
        return Cell::ofText(text.str());
      }
      case MDB_BINARY:
        return Cell::ofBytes(std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(f.siz)));
      case MDB_TEXT:
        return Cell::ofText(text(MDB_TEXT, f, static_cast<std::size_t>(f.siz), index));
      case MDB_MEMO:
        return Cell::ofText(memo(f, index));
      case MDB_OLE:
        return Cell::ofBytes(ole(col, f, index));
      default:
        damagedCell(index, "a value of a type that cannot be read");
    }
  }

  // Text through libmdb's conversion into a buffer large enough for any
  // UTF-8 form of `sourceBytes` (3 bytes per source byte at most).
  std::string text(int type, const MdbField& f, std::size_t sourceBytes, std::size_t index) {
    const std::size_t room = std::max<std::size_t>(MDB_BIND_SIZE, 3 * sourceBytes + 16);
    mdb_set_bind_size(mdb_, room);
    GText value(mdb_col_to_string(mdb_, mdb_->pg_buf, f.start, type, f.siz));
    if (!value.p) damagedCell(index, "the text could not be read");
    const std::size_t length = std::strlen(value.p);
    if (length + 1 >= room) damagedCell(index, "the text is longer than it says (a damaged value)");
    return std::string(value.p, length);
  }

  std::string memo(const MdbField& f, std::size_t index) {
    if (f.siz == 0) return std::string();
    if (f.siz < MDB_MEMO_OVERHEAD) damagedCell(index, "the memo's header is cut short (a damaged value)");
    const auto head = static_cast<std::uint32_t>(le(mdb_->pg_buf + f.start, 4));
    const std::size_t declared = head & kLongValueLength;
    const bool handled =
        (head & kLongValueInline) || (head & kLongValueSinglePage) || (head & 0xff000000u) == 0;
    if (!handled) damagedCell(index, "the memo is stored in a form the reader does not know");
    if (declared > kMaxLongValue) damagedCell(index, "the memo claims more than 1 GiB (a damaged value)");
    const std::size_t source = std::max(declared, static_cast<std::size_t>(f.siz));
    std::string value = text(MDB_MEMO, f, source, index);
    if (value.empty() && declared > 0) {
      damagedCell(index, "the memo's pages could not be read (a damaged or truncated file)");
    }
    return value;
  }

  // The OLE object's bytes, followed from page to page; the chain is
  // bounded by the pages the file has, so a chain that loops ends.
  std::string ole(MdbColumn* col, const MdbField& f, std::size_t index) {
    if (f.siz == 0) return std::string();
    if (f.siz < MDB_MEMO_OVERHEAD)
      damagedCell(index, "the OLE object's header is cut short (a damaged value)");
    unsigned char header[MDB_MEMO_OVERHEAD];
    std::memcpy(header, mdb_->pg_buf + f.start, MDB_MEMO_OVERHEAD);
    const std::size_t declared = le(header, 4) & kLongValueLength;
    if (declared > kMaxLongValue)
      damagedCell(index, "the OLE object claims more than 1 GiB (a damaged value)");
    std::vector<char> chunk(static_cast<std::size_t>(mdb_->fmt->pg_size) + 64);
    col->cur_value_start = f.start;
    col->cur_value_len = f.siz;
    col->bind_ptr = chunk.data();
    std::string out;
    std::size_t len = mdb_ole_read(mdb_, col, header, chunk.size());
    out.append(chunk.data(), std::min(len, chunk.size()));
    for (std::size_t hops = 0; hops <= filePages_; ++hops) {
      len = mdb_ole_read_next(mdb_, col, header);
      if (len == 0) break;
      if (out.size() + len > declared + chunk.size()) break;
      out.append(chunk.data(), std::min(len, chunk.size()));
    }
    col->bind_ptr = nullptr;
    if (out.empty() && declared > 0)
      damagedCell(index, "the OLE object's pages could not be read (a damaged file)");
    return out;
  }

  MdbHandle* mdb_;
  MdbTableDef* table_;
  const TableDef& def_;
  std::vector<MdbField> fields_;
  std::size_t filePages_;
  unsigned read_ = 0;
};

class MdbSource final : public TableSource {
 public:
  MdbSource(MdbHandle* mdb, std::size_t filePages) : mdb_(mdb), filePages_(filePages) {}
  ~MdbSource() override {
    current_.reset();
    mdb_close(mdb_);
  }
  MdbSource(const MdbSource&) = delete;
  MdbSource& operator=(const MdbSource&) = delete;

  std::vector<std::string> tableNames() override {
    std::vector<std::string> names;
    for (MdbCatalogEntry* e : entries()) {
      if (e->object_type == MDB_TABLE && !mdb_is_system_table(e)) names.emplace_back(e->object_name);
    }
    return names;
  }

  TableDef describe(const std::string& name) override {
    current_.reset();
    MdbCatalogEntry* entry = nullptr;
    for (MdbCatalogEntry* e : entries()) {
      if (e->object_type == MDB_TABLE && name == e->object_name) entry = e;
    }
    if (!entry) throw SourceError("table " + name + " is not in the file");
    current_.reset(mdb_read_table(entry));
    if (!current_) throw SourceError("table " + name + ": its definition cannot be read (a damaged file)");
    MdbTableDef* t = current_.get();
    if (!mdb_read_columns(t) || !t->columns || t->columns->len != t->num_cols) {
      throw SourceError("table " + name + ": its columns cannot be read (a damaged file)");
    }
    TableDef def;
    def.name = name;
    def.expectedRows = t->num_rows;
    for (unsigned i = 0; i < t->num_cols; ++i) {
      def.columns.push_back(columnOf(static_cast<MdbColumn*>(g_ptr_array_index(t->columns, i))));
    }
    if (mdb_read_indices(t) && t->indices) {
      for (unsigned i = 0; i < t->indices->len && i < t->num_idxs; ++i) {
        auto* idx = static_cast<MdbIndex*>(g_ptr_array_index(t->indices, i));
        if (idx->index_type == 2) continue;  // the other side of a relation, not an index of its own
        IndexDef ix;
        ix.name = idx->name;
        ix.primary = idx->index_type == 1;
        ix.unique = (idx->flags & MDB_IDX_UNIQUE) != 0;
        bool good = idx->num_keys > 0 && idx->num_keys <= MDB_MAX_IDX_COLS;
        for (unsigned j = 0; good && j < idx->num_keys; ++j) {
          const int c = idx->key_col_num[j] - 1;
          good = c >= 0 && static_cast<unsigned>(c) < t->num_cols;
          if (good)
            ix.columns.emplace_back(def.columns[static_cast<std::size_t>(c)].name,
                                    idx->key_col_order[j] != 0);
        }
        if (good) {
          def.indexes.push_back(std::move(ix));
        } else {
          def.notes.push_back("index " + ix.name + " left out: its definition is damaged");
        }
      }
    }
    currentName_ = name;
    return def;
  }

  std::unique_ptr<RowReader> rows(const TableDef& def) override {
    if (!current_ || currentName_ != def.name) describe(def.name);
    return std::make_unique<MdbRows>(mdb_, current_.get(), def, filePages_);
  }

  LeftBehind leftBehind() override {
    LeftBehind lb;
    for (MdbCatalogEntry* e : entries()) {
      // The engine's own objects ("MSysDb" is filed as a macro) and hidden
      // ones ("~sq_..." are forms' own queries) are nobody's work.
      const std::string name = e->object_name;
      if (name.rfind("MSys", 0) == 0 || name.rfind("~", 0) == 0) continue;
      switch (e->object_type) {
        case MDB_QUERY:
          ++lb.queries;
          break;
        case MDB_FORM:
          ++lb.forms;
          break;
        case MDB_REPORT:
          ++lb.reports;
          break;
        case MDB_MACRO:
          ++lb.macros;
          break;
        case MDB_MODULE:
          ++lb.modules;
          break;
        case MDB_LINKED_TABLE:
          ++lb.linkedTables;
          break;
        default:
          break;
      }
    }
    lb.relations = relations();
    return lb;
  }

  std::string formatName() const {
    switch (mdb_->f->jet_version) {
      case MDB_VER_JET3:
        return "Access 97 (Jet 3)";
      case MDB_VER_JET4:
        return "Access 2000-2003 (Jet 4)";
      case MDB_VER_ACCDB_2007:
        return "Access 2007 (ACE 12)";
      case MDB_VER_ACCDB_2010:
        return "Access 2010 (ACE 14)";
      case MDB_VER_ACCDB_2013:
        return "Access 2013 (ACE 15)";
      case MDB_VER_ACCDB_2016:
        return "Access 2016 (ACE 16)";
      case MDB_VER_ACCDB_2019:
        return "Access 2019 (ACE 17)";
      default:
        return "Access (unknown version)";
    }
  }

 private:
  std::vector<MdbCatalogEntry*> entries() const {
    std::vector<MdbCatalogEntry*> out;
    if (!mdb_->catalog) return out;
    for (unsigned i = 0; i < mdb_->catalog->len; ++i) {
      out.push_back(static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb_->catalog, i)));
    }
    return out;
  }

  ColumnDef columnOf(MdbColumn* col) const {
    ColumnDef c;
    c.name = col->name;
    switch (col->col_type) {
      case MDB_BOOL:
        c.type = ColumnType::YesNo, c.typeName = "Yes/No";
        break;
      case MDB_BYTE:
        c.type = ColumnType::Byte, c.typeName = "Byte";
        break;
      case MDB_INT:
        c.type = ColumnType::Integer, c.typeName = "Integer";
        break;
      case MDB_LONGINT:
        c.type = ColumnType::Long, c.typeName = col->is_long_auto ? "AutoNumber" : "Long Integer";
        c.autoNumber = col->is_long_auto != 0;
        break;
      case kMdbBigInt:
        c.type = ColumnType::BigInt, c.typeName = "Large Number";
        break;
      case MDB_MONEY:
        c.type = ColumnType::Currency, c.typeName = "Currency";
        break;
      case MDB_FLOAT:
        c.type = ColumnType::Single, c.typeName = "Single";
        break;
      case MDB_DOUBLE:
        c.type = ColumnType::Double, c.typeName = "Double";
        break;
      case MDB_DATETIME:
        c.type = ColumnType::DateTime, c.typeName = "Date/Time";
        break;
      case MDB_BINARY:
        c.type = ColumnType::Binary, c.typeName = "Binary";
        break;
      case MDB_TEXT:
        c.type = ColumnType::Text, c.typeName = "Text";
        c.size = mdb_->f->jet_version == MDB_VER_JET3 ? col->col_size : col->col_size / 2;
        break;
      case MDB_OLE:
        c.type = ColumnType::OleObject, c.typeName = "OLE Object";
        break;
      case MDB_MEMO:
        c.type = ColumnType::Memo, c.typeName = "Memo";
        break;
      case MDB_REPID:
        c.type = ColumnType::Guid, c.typeName = "Replication ID";
        break;
      case MDB_NUMERIC:
        c.type = ColumnType::Decimal, c.typeName = "Decimal";
        c.precision = col->col_prec;
        c.scale = col->col_scale;
        break;
      case MDB_COMPLEX:
        c.type = ColumnType::Unsupported, c.typeName = "Attachment or multi-valued field";
        break;
      default:
        c.type = ColumnType::Unsupported, c.typeName = "type " + std::to_string(col->col_type);
        break;
    }
    if (const char* required = mdb_col_get_prop(col, "Required")) c.required = required[0] == 'y';
    if (const char* dflt = mdb_col_get_prop(col, "DefaultValue")) c.defaultValue = dflt;
    return c;
  }

  // The number of relations between user tables (MSysRelationships has a
  // row per pair of columns; a relation is a name; Access 2007 and later
  // relate some of their own tables too).
  int relations() {
    current_.reset();
    TablePtr t(mdb_read_table_by_name(mdb_, const_cast<gchar*>("MSysRelationships"), MDB_TABLE));
    if (!t || !mdb_read_columns(t.get())) return 0;
    mdb_set_bind_size(mdb_, MDB_BIND_SIZE);
    const char* names[] = {"szRelationship", "szObject", "szReferencedObject"};
    std::vector<std::vector<char>> values(3, std::vector<char>(MDB_BIND_SIZE + 1));
    int lengths[3] = {};
    for (int i = 0; i < 3; ++i) {
      if (mdb_bind_column_by_name(t.get(), const_cast<gchar*>(names[i]),
                                  values[static_cast<std::size_t>(i)].data(), &lengths[i]) < 0) {
        return 0;
      }
    }
    mdb_rewind_table(t.get());
    std::set<std::string> found;
    for (unsigned rows = 0; rows <= t->num_rows && mdb_fetch_row(t.get()); ++rows) {
      auto text = [&](int i) {
        return std::string(values[static_cast<std::size_t>(i)].data(),
                           static_cast<std::size_t>(std::clamp(lengths[i], 0, MDB_BIND_SIZE)));
      };
      if (text(1).rfind("MSys", 0) == 0 || text(2).rfind("MSys", 0) == 0) continue;
      found.insert(text(0));
    }
    return static_cast<int>(found.size());
  }

  MdbHandle* mdb_;
  std::size_t filePages_;
  TablePtr current_;
  std::string currentName_;
};

}  // namespace

std::unique_ptr<TableSource> openMdbSource(const std::string& path) {
  checkHeader(path);
  // Text comes out as UTF-8 whatever the caller's environment says.
  ::setenv("MDBICONV", "UTF-8", 1);
  MdbHandle* mdb = mdb_open(path.c_str(), MDB_NOFLAGS);
  if (!mdb) throw SourceError("not a readable Access database (the reader refused its header)");
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  const std::size_t pages =
      ec ? 0 : static_cast<std::size_t>(size) / static_cast<std::size_t>(mdb->fmt->pg_size);
  auto source = std::make_unique<MdbSource>(mdb, pages);
  // libmdb skips catalog rows it cannot read, and a table missing from the
  // catalog would silently be missing from the conversion: the catalog's
  // own definition (page 2) says how many rows it has.
  MdbCatalogEntry catalog{};
  catalog.mdb = mdb;
  catalog.object_type = MDB_TABLE;
  catalog.table_pg = 2;
  std::strcpy(catalog.object_name, "MSysObjects");
  TablePtr objects(mdb_read_table(&catalog));
  const bool read = mdb_read_catalog(mdb, MDB_ANY) && mdb->catalog && mdb->catalog->len > 0;
  if (read && objects && mdb->catalog->len < objects->num_rows) {
    throw SourceError("its catalog is damaged: " + std::to_string(mdb->catalog->len) + " of its " +
                      std::to_string(objects->num_rows) + " entries can be read");
  }
  if (!read || !objects) {
    throw SourceError(
        "its catalog cannot be read; the file is damaged, or encrypted with a password "
        "(remove the password in Access first: File, Info, Decrypt Database)");
  }
  return source;
}

std::string mdbFormatName(TableSource& source) {
  auto* mdb = dynamic_cast<MdbSource*>(&source);
  return mdb ? mdb->formatName() : std::string("unknown");
}

}  // namespace kvdn::access
