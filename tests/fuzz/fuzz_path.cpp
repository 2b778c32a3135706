// Dotted paths and array editing driven by arbitrary scripts, one operation a
// line ("s path=text", "p path", "i path=3", ...), on a record with a union.
// Every listed name must print and parse back; nothing may leak.
#include <cerrno>
#include <string>

#include "tests/fuzz/fuzz_types.h"

namespace {

const char kUnionMem[] = "fuzz_union";

const RecordField kMembers[] = {{"Num", &UInt32Type, 0, 0},
                                {"Name", &TextType, 0, 0},
                                {"Item", &fuzz::ItemType, 0, 0},
                                {"Items", &fuzz::ItemList, 0, 0},
                                STRUCTS_FIELD_END};

const RecordField *Member(const StructsUnion *u) {
  for (const RecordField *m = kMembers; m->name != nullptr; m++) {
    if (u->field_name != nullptr && strcmp(m->name, u->field_name) == 0) return m;
  }
  return nullptr;
}

int UnionInit(const RecordType *, void *v) {
  StructsUnion *u = (StructsUnion *)v;
  void *val = typed_mem_AllocZeroed(kUnionMem, 1, kMembers[0].type->size);
  if (val == nullptr) return -1;
  kMembers[0].type->init(kMembers[0].type, val);
  u->field_name = kMembers[0].name;
  u->un = val;
  return 0;
}

void UnionRelease(const RecordType *, void *v) {
  StructsUnion *u = (StructsUnion *)v;
  const RecordField *m = Member(u);
  FUZZ_CHECK(m != nullptr);
  m->type->release(m->type, u->un);
  typed_mem_Release(kUnionMem, u->un);
  u->un = nullptr;
}

int UnionCopy(const RecordType *, const void *from, void *to) {
  const StructsUnion *a = (const StructsUnion *)from;
  StructsUnion *b = (StructsUnion *)to;
  const RecordField *m = Member(a);
  void *val = typed_mem_AllocZeroed(kUnionMem, 1, m->type->size);
  if (val == nullptr) return -1;
  if (m->type->copy(m->type, a->un, val) == -1) {
    typed_mem_Release(kUnionMem, val);
    return -1;
  }
  b->field_name = m->name;
  b->un = val;
  return 0;
}

const RecordType ChoiceType = {(uint32_t)sizeof(StructsUnion), "union", STRUCTS_CLASS_UNION, UnionInit, UnionCopy,
                               structs_EqualUnsupported, structs_ToTextUnsupported, structs_FromTextUnsupported,
                               structs_EncodeUnsupported, structs_DecodeUnsupported, UnionRelease,
                               {{.p = kMembers}, {.s = kUnionMem}, {.u = 0}}};

struct PathRec {
  fuzz::Rec rec;
  StructsUnion choice;
};
const RecordField kPathFields[] = {STRUCTS_FIELD(PathRec, rec, "Rec", fuzz::RecType),
                                   STRUCTS_FIELD(PathRec, choice, "Choice", ChoiceType), STRUCTS_FIELD_END};
const RecordType PathType = structs_MakeStructureType(sizeof(PathRec), kPathFields);

void CheckNames(PathRec *r) {
  char **names = nullptr;
  int n = structs_ListFieldNames(&PathType, r, &names, "fuzz");
  FUZZ_CHECK(n >= 0);
  for (int i = 0; i < n; i++) {
    char *text = structs_FieldToText(&PathType, names[i], r, "fuzz");
    FUZZ_CHECK(text != nullptr);
    char ebuf[256];
    if (structs_FieldFromText(&PathType, names[i], text, r, ebuf, sizeof(ebuf)) != 0) {
      fprintf(stderr, "%s: '%s' does not parse back: %s\n", names[i], text, ebuf);
      FUZZ_CHECK(false);
    }
    typed_mem_Release("fuzz", text);
    typed_mem_Release("fuzz", names[i]);
  }
  typed_mem_Release("fuzz", names);
}

void Run(PathRec *r, char op, const char *path, const char *text) {
  char ebuf[256];
  uint32_t num = (uint32_t)strtoul(text, nullptr, 10);
  switch (op) {
    case 's':
      errno = 0;
      if (structs_FieldFromText(&PathType, path, text, r, ebuf, sizeof(ebuf)) != 0) {
        FUZZ_CHECK(errno != 0);
        FUZZ_CHECK(ebuf[0] != '\0');
      }
      break;
    case 't':
      typed_mem_Release("fuzz", structs_FieldToText(&PathType, path, r, "fuzz"));
      break;
    case 'p':
      structs_PreparePath(&PathType, path, r);
      break;
    case 'i':
      structs_ArrayInsert(&PathType, path, num, r);
      break;
    case 'd':
      structs_ArrayDelete(&PathType, path, num, r);
      break;
    case 'l':
      structs_ArraySetLength(&PathType, path, num % 64, r, 1);
      break;
    case 'R':
      structs_ArrayReset(&PathType, path, r);
      break;
    case 'r':
      structs_FieldReset(&PathType, path, r);
      break;
    case 'e': {
      StructsCode code;
      if (structs_FieldEncode(&PathType, path, r, "fuzz", &code) == 0) {
        errno = 0;
        ssize_t n = structs_FieldDecode(&PathType, path, &code, r, ebuf, sizeof(ebuf));
        // An array's length encodes, but is never written: its decode refuses.
        size_t plen = strlen(path);
        bool length = plen >= 6 && strcmp(path + plen - 6, "length") == 0 && (plen == 6 || path[plen - 7] == '.');
        if (length) {
          FUZZ_CHECK(n == -1 && errno != 0 && ebuf[0] != '\0');
        } else {
          FUZZ_CHECK(n == (ssize_t)code.length);
        }
        typed_mem_Release("fuzz", code.data);
      } else {
        FUZZ_CHECK(code.length == 0 && code.data == nullptr);
      }
      break;
    }
    case 'c': {
      PathRec copy;
      FUZZ_CHECK(PathType.copy(&PathType, r, &copy) == 0);
      PathType.release(&PathType, &copy);
      break;
    }
    case 'n':
      CheckNames(r);
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  PathRec r;
  FUZZ_CHECK(PathType.init(&PathType, &r) == 0);
  std::string script((const char *)data, size);
  size_t start = 0;
  while (start < script.size()) {
    size_t end = script.find('\n', start);
    if (end == std::string::npos) end = script.size();
    std::string line = script.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    std::string rest = line.substr(1);
    size_t eq = rest.find('=');
    std::string path = rest.substr(0, eq);
    std::string text = eq == std::string::npos ? "" : rest.substr(eq + 1);
    Run(&r, line[0], path.c_str(), text.c_str());
  }
  CheckNames(&r);
  PathType.release(&PathType, &r);
  return 0;
}
