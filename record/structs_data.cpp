// Raw bytes inside the record (fixeddata) and allocated, length-counted bytes (data).
#include <cerrno>
#include <cstring>

#include "record/filter.h"
#include "record/rec_private.h"
#include "record/structs_types.h"
#include "record/typed_mem.h"

const RecordType DataBase64Type = structs_MakeDataType(nullptr, "structs_data");
const RecordType DataHexType = structs_MakeDataType("", "structs_data");

namespace {

const char kHexDigits[] = "0123456789abcdef";

char *HexText(const char *mtype, const uint8_t *bytes, size_t n) {
  char *text = (char *)typed_mem_Resize(mtype, nullptr, n * 2 + 1);
  if (text == nullptr) return nullptr;
  for (size_t i = 0; i < n; i++) {
    text[2 * i] = kHexDigits[bytes[i] >> 4];
    text[2 * i + 1] = kHexDigits[bytes[i] & 0x0f];
  }
  text[n * 2] = '\0';
  return text;
}

const char *Alphabet(const RecordType *type) { return type->args[0].s; }
const char *MemType(const RecordType *type) { return type->args[1].s; }

StructsData ReadData(const void *value) {
  StructsData d;
  memcpy(&d, value, sizeof(d));
  return d;
}

void WriteData(void *value, uint32_t length, uint8_t *bytes) {
  StructsData d = {length, bytes};
  memcpy(value, &d, sizeof(d));
}

uint32_t ReadBigEndian32(const uint8_t *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

}  // namespace

char *structs_FixedDataToText(const RecordType *type, const char *mtype, const void *value) {
  return HexText(mtype, (const uint8_t *)value, type->size);
}

int structs_FixedDataFromText(const RecordType *type, const char *text, void *value, char *ebuf, size_t emax) {
  uint8_t *bytes = (uint8_t *)value;
  const char *p = text;
  for (uint32_t i = 0; i < type->size; i++) {
    int digits[2];
    for (int k = 0; k < 2; k++) {
      while (rec_IsBlank((unsigned char)*p)) p++;
      if (*p == '\0') {
        rec_SetMessage(ebuf, emax, "%s", "hex string is too short");
        errno = EINVAL;
        return -1;
      }
      digits[k] = rec_HexValue((unsigned char)*p++);
      if (digits[k] < 0) {
        rec_SetMessage(ebuf, emax, "%s", "non-hex character seen");
        errno = EINVAL;
        return -1;
      }
    }
    bytes[i] = (uint8_t)(digits[0] << 4 | digits[1]);
  }
  while (rec_IsBlank((unsigned char)*p)) p++;
  if (*p != '\0') {
    rec_SetMessage(ebuf, emax, "%s", "hex string is too long");
    errno = EINVAL;
    return -1;
  }
  return 0;
}

int structs_DataCopy(const RecordType *type, const void *from, void *to) {
  StructsData d = ReadData(from);
  if (d.length == 0) {
    WriteData(to, 0, nullptr);
    return 0;
  }
  uint8_t *copy = (uint8_t *)typed_mem_Resize(MemType(type), nullptr, d.length);
  if (copy == nullptr) return -1;
  memcpy(copy, d.data, d.length);
  WriteData(to, d.length, copy);
  return 0;
}

int structs_DataEqual(const RecordType *, const void *a, const void *b) {
  StructsData x = ReadData(a), y = ReadData(b);
  return x.length == y.length && (x.length == 0 || memcmp(x.data, y.data, x.length) == 0);
}

char *structs_DataToText(const RecordType *type, const char *mtype, const void *value) {
  StructsData d = ReadData(value);
  const char *alphabet = Alphabet(type);
  if (alphabet != nullptr && *alphabet == '\0') return HexText(mtype, d.data, d.length);
  Filter *enc = base64_EncoderCreate(alphabet);
  if (enc == nullptr) return nullptr;
  void *text = nullptr;
  ssize_t n = filter_Convert(enc, d.data, d.length, 1, &text, mtype);
  int e = errno;
  filter_Destroy(&enc);
  errno = e;
  return n < 0 ? nullptr : (char *)text;
}

int structs_DataFromText(const RecordType *type, const char *text, void *value, char *ebuf, size_t emax) {
  const char *alphabet = Alphabet(type);
  size_t len = strlen(text);
  if (alphabet != nullptr && *alphabet == '\0') {
    if (len / 2 >= UINT32_MAX) {
      rec_SetMessage(ebuf, emax, "%s", "invalid encoded binary data");
      errno = EINVAL;
      return -1;
    }
    uint8_t *bytes = nullptr;
    if (len != 0) {
      bytes = (uint8_t *)typed_mem_Resize(MemType(type), nullptr, (len + 1) / 2);
      if (bytes == nullptr) return -1;
    }
    uint32_t n = 0;
    const char *msg = nullptr;
    for (const char *p = text;;) {
      while (rec_IsBlank((unsigned char)*p)) p++;
      if (*p == '\0') break;
      int hi = rec_HexValue((unsigned char)*p++);
      if (hi < 0) {
        msg = "non-hex character seen";
        break;
      }
      if (*p == '\0') {
        msg = "odd length hex sequence";
        break;
      }
      int lo = rec_HexValue((unsigned char)*p++);
      if (lo < 0) {
        msg = "non-hex character seen";
        break;
      }
      bytes[n++] = (uint8_t)(hi << 4 | lo);
    }
    if (msg != nullptr || n == 0) {
      typed_mem_Release(MemType(type), bytes);
      bytes = nullptr;
    }
    if (msg != nullptr) {
      rec_SetMessage(ebuf, emax, "%s", msg);
      errno = EINVAL;
      return -1;
    }
    WriteData(value, n, bytes);
    return 0;
  }
  Filter *dec = base64_DecoderCreate(alphabet, 1);
  void *bytes = nullptr;
  ssize_t n = dec != nullptr ? filter_Convert(dec, text, len, 1, &bytes, MemType(type)) : -1;
  int e = errno;
  filter_Destroy(&dec);
  if (n < 0 || n > (ssize_t)UINT32_MAX) {
    if (n >= 0) typed_mem_Release(MemType(type), bytes);
    rec_SetMessage(ebuf, emax, "%s", "invalid encoded binary data");
    errno = e != 0 && n < 0 ? e : EINVAL;
    return -1;
  }
  if (n == 0) {
    typed_mem_Release(MemType(type), bytes);
    bytes = nullptr;
  }
  WriteData(value, (uint32_t)n, (uint8_t *)bytes);
  return 0;
}

int structs_DataEncode(const RecordType *, const char *mtype, StructsCode *code, const void *value) {
  StructsData d = ReadData(value);
  if (d.length > UINT32_MAX - 4) {
    errno = EINVAL;
    return -1;
  }
  uint8_t *bytes = (uint8_t *)typed_mem_Resize(mtype, nullptr, (size_t)d.length + 4);
  if (bytes == nullptr) return -1;
  bytes[0] = (uint8_t)(d.length >> 24);
  bytes[1] = (uint8_t)(d.length >> 16);
  bytes[2] = (uint8_t)(d.length >> 8);
  bytes[3] = (uint8_t)d.length;
  if (d.length != 0) memcpy(bytes + 4, d.data, d.length);
  code->length = d.length + 4;
  code->data = bytes;
  return 0;
}

ssize_t structs_DataDecode(const RecordType *type, const uint8_t *code, size_t cmax, void *value, char *ebuf,
                           size_t emax) {
  // 64-bit sums: a length near 2^32 must not wrap past the bytes available.
  if (cmax < 4 || (uint64_t)ReadBigEndian32(code) + 4 > (uint64_t)cmax) {
    rec_SetMessage(ebuf, emax, "%s", "encoded data is corrupted");
    errno = EINVAL;
    return -1;
  }
  uint32_t len = ReadBigEndian32(code);
  uint8_t *bytes = nullptr;
  if (len != 0) {
    bytes = (uint8_t *)typed_mem_Resize(MemType(type), nullptr, len);
    if (bytes == nullptr) return -1;
    memcpy(bytes, code + 4, len);
  }
  WriteData(value, len, bytes);
  return (ssize_t)len + 4;
}

void structs_DataRelease(const RecordType *type, void *value) {
  StructsData d = ReadData(value);
  typed_mem_Release(MemType(type), d.data);
  WriteData(value, 0, nullptr);
}
