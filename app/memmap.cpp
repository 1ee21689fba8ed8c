// memmap.cpp - lookups in the memory map and the text form of its values.
#include "memmap.h"

#include <stdio.h>

#include "codecs.h"
#include "xPL.h"

const memtype *memFind(const char *name) {
  if (name == nullptr) return nullptr;
  for (const memtype &row : mem)
    if (xPL_strcmpIgnoreCase(row.mem_name, name) == 0) return &row;
  return nullptr;
}

int memByteCount(const memtype *row) {
  return (row->mem_len + 1) / 2;
}

bool memText(const memtype *row, const unsigned char *b, const davis_device *model, char *text,
             size_t textSize, std::string *why) {
  char line[128];
  switch (row->mem_dtype) {
    case DTYPE_MODEL:
      // Only while no station is open; the handler says so already.
      if (model == nullptr) {
        why->clear();
        return false;
      }
      snprintf(text, textSize, "%s", davis_model_str(model));
      return true;
    case DTYPE_INT:
      if (row->mem_len == 2) {
        snprintf(text, textSize, "%d", static_cast<int8_t>(b[0]));
      } else if (row->mem_len == 4) {
        snprintf(text, textSize, "%d", le16(b));
      } else {
        snprintf(line, sizeof line, "unknown DTYPE_INT size: %d for %s\n", row->mem_len,
                 row->mem_name);
        *why = line;
        return false;
      }
      return true;
    case DTYPE_FLOAT:
      snprintf(text, textSize, "%.2f", le16(b) / 10.0);
      return true;
    case DTYPE_TIME:
      snprintf(text, textSize, "%02d:%02d", bcdtoint(b[0]), bcdtoint(b[1]));
      return true;
    case DTYPE_LTIME:
      snprintf(text, textSize, "%02d:%02d:%02d", bcdtoint(b[0]), bcdtoint(b[1]), bcdtoint(b[2]));
      return true;
    case DTYPE_DATE:
      // The month nibble is binary, the day BCD.
      snprintf(text, textSize, "%d/%d", b[1] & 0x0F, bcdtoint(b[0]));
      return true;
    case DTYPE_BARFLAG: {
      const int flags = b[0] & 0x0F;
      const char *trend = (flags & 1)   ? "steady"
                          : (flags & 2) ? "rise"
                          : (flags & 4) ? "fall"
                                        : "unknown";
      snprintf(text, textSize, "%s", trend);
      return true;
    }
    case DTYPE_BAR:
      snprintf(text, textSize, "%.3f", le16(b) / 1000.0);
      return true;
    case DTYPE_HIST: {
      size_t used = 0;
      text[0] = '\0';
      const int n = memByteCount(row);
      for (int i = 0; i < n && used < textSize; i++) {
        int w = snprintf(text + used, textSize - used, i + 1 < n ? "%x," : "%x", b[i]);
        if (w < 0) {
          why->clear();
          return false;
        }
        used += static_cast<size_t>(w);
      }
      return true;
    }
    case DTYPE_TSTAMP:
      snprintf(text, textSize, "%02d:%02d %d/%d", bcdtoint(b[0]), bcdtoint(b[1]), b[3] & 0x0F,
               bcdtoint(b[2]));
      return true;
    default:
      break;
  }
  snprintf(line, sizeof line, "Unknown data type %d for %s\n", static_cast<int>(row->mem_dtype),
           row->mem_name);
  *why = line;
  return false;
}
