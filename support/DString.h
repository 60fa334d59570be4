// DString: the owned, growable 8-bit text of the support library.
//
// A thin value type over a NUL-terminated text: no stored length, a plain C
// text pointer for the platform calls, and one growth rule (Reserve).  The
// heap block is a small header holding the capacity, followed by a text area
// of capacity + 2 bytes; the text pointer addresses the text area.
#ifndef DGN_SUPPORT_DSTRING_H
#define DGN_SUPPORT_DSTRING_H

#include <cstdint>

template <class T>
class Vector;

// Base of DString: the text pointer only (null when there is no storage).
class CDString {
 public:
  CDString() : text_(nullptr) {}

 protected:
  char *text_;
};

class DString : public CDString {
 public:
  // Gives an empty string without storage.
  DString() {}
  // Gives a copy of text; null gives an empty string without storage.
  DString(const char *text);
  // Gives a copy of other's characters (no storage when other has none).
  DString(const DString &other);
  // Releases the block.
  ~DString();

  // Copies other's characters into this string.
  DString &operator=(const DString &other) { return Assign(other); }
  // Copies text into this string (null empties it).
  DString &operator=(const char *text) { return Assign(text); }

  // Makes room for a text of n characters (capacity >= n + 2); never
  // shrinks, never moves the text when there is room already.
  void Reserve(int n);

  // Gives the text; the shared empty text when there is no storage.
  const char *CStr() const;
  // Gives the number of characters before the NUL.
  int Length() const;
  // Gives true when the text is empty (with or without storage).
  bool IsEmpty() const { return text_ == nullptr || text_[0] == '\0'; }
  // Gives true when the string owns a block.
  bool HasStorage() const { return text_ != nullptr; }
  // Gives the capacity of the block (0 without storage).
  int Capacity() const;

  // Replaces the text with a copy of text; null empties it, keeping storage.
  DString &Assign(const char *text);
  // Replaces the text with a copy of other's text.
  DString &Assign(const DString &other);
  // Appends text (null appends nothing); gives this string for chaining.
  DString &Append(const char *text);
  // Appends other's text; gives this string for chaining.
  DString &Append(const DString &other);
  // Appends one character; the NUL character appends nothing.
  DString &Append(char c);

  // Gives 0 when the text equals text (null equals empty), -1 or 1 otherwise
  // (bytes compared unsigned, case matters).
  int Compare(const char *text) const;
  // Gives the character at pos, or NUL for positions outside the text.
  char CharAt(int pos) const;
  // Gives a writable reference to byte i of the text area, making room for
  // it first; no test against the length (writing NUL there cuts the
  // text).  A negative i throws std::out_of_range.
  char &At(int i);
  // Gives the position of the last c, or -1; for NUL gives the length.
  int FindLast(char c) const;
  // Splits the text at any of the separator characters into out (cleared
  // first); empty tokens are dropped and a separator at position 0 stays
  // in the first token.  Gives true.
  bool Split(const char *separators, Vector<DString> &out) const;

 private:
  void Release();
};

#endif
