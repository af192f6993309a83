#include "browserlib/com/bstr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "browserlib/com/guid.h"
#include "browserlib/com/variant.h"

namespace tulix::com {
namespace {

uint32_t PrefixOf(BSTR text) {
  uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<const char*>(text) - 4, 4);
  return prefix;
}

TEST(Bstr, Utf8RoundTripsWithPrefixAndTerminator) {
  struct Case {
    std::string utf8;
    std::u16string units;
  };
  const Case cases[] = {
      {"", u""},
      {"search words", u"search words"},
      {"Gr\xC3\xBC\xC3\x9F"
       "e \xE6\x97\xA5\xE6\x9C\xAC",
       u"Grüße 日本"},
      // An astral character is a surrogate pair: two code units.
      {"a\xF0\x9F\x98\x80z", u"a\xD83D\xDE00z"},
  };
  for (const Case& c : cases) {
    UniqueBstr text(BstrFromUtf8(c.utf8));
    ASSERT_NE(text.get(), nullptr);
    EXPECT_EQ(BstrView(text.get()), c.units) << c.utf8;
    EXPECT_EQ(SysStringLen(text.get()), c.units.size());
    EXPECT_EQ(SysStringByteLen(text.get()), 2 * c.units.size());
    EXPECT_EQ(PrefixOf(text.get()), 2 * c.units.size());
    EXPECT_EQ(text.get()[c.units.size()], u'\0');
    EXPECT_EQ(text.Utf8(), c.utf8);
  }
}

TEST(Bstr, LengthComesFromThePrefixNotTheFirstNul) {
  UniqueBstr embedded(SysAllocStringLen(u"a\0b", 3));
  EXPECT_EQ(SysStringLen(embedded.get()), 3u);
  EXPECT_EQ(embedded.Utf8(), std::string("a\0b", 3));

  UniqueBstr zeroed(SysAllocStringLen(nullptr, 4));
  ASSERT_NE(zeroed.get(), nullptr);
  EXPECT_EQ(BstrView(zeroed.get()), std::u16string(4, u'\0'));

  UniqueBstr copied(SysAllocString(u"abc\0def"));
  EXPECT_EQ(SysStringLen(copied.get()), 3u);

  // A null BSTR is the empty string, everywhere.
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  EXPECT_EQ(Utf8FromBstr(nullptr), "");
  SysFreeString(nullptr);

  // Too long for the 32-bit byte prefix.
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
}

TEST(Bstr, BytesThatAreNotUtf8ReadAsWindows1252) {
  struct Case {
    std::string bytes;
    std::u16string units;
  };
  const Case cases[] = {
      {"caf\xE9", u"café"},
      {"\x80 \x9F", u"\x20AC \x0178"},
      {"\x81\x8D", u"\x0081\x008D"},                      // undefined in the code page: kept as C1
      {"\xE6\x97", u"\x00E6\x2014"},                      // a sequence cut short
      {"\xC0\xAF", u"\x00C0\x00AF"},                      // an overlong form of '/'
      {"\xED\xA0\x80", u"\x00ED\x00A0\x20AC"},            // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\x00F4\x0090\x20AC\x20AC"},  // above U+10FFFF
      {"\xC3\xA9\xA9", u"é\x00A9"},  // a stray continuation byte after a good one
  };
  for (const Case& c : cases) {
    UniqueBstr text(BstrFromUtf8(c.bytes));
    EXPECT_EQ(BstrView(text.get()), c.units) << c.bytes;
  }
  // A surrogate without its partner cannot be UTF-8: it becomes U+FFFD.
  EXPECT_EQ(Utf8FromUtf16(u"x\xD800y\xDC00"), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
}

TEST(Guid, RegistryFormRoundTripsAndMalformedTextIsRefused) {
  EXPECT_EQ(GuidToString(IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
  EXPECT_EQ(GuidToString(CATID_SafeForScripting), "{7DD95801-9882-11CF-9FA9-00AA006C42C4}");
  const GUID every{0x01234567, 0x89AB, 0xCDEF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
  EXPECT_EQ(GuidToString(every), "{01234567-89AB-CDEF-FEDC-BA9876543210}");
  EXPECT_EQ(GuidFromString("{01234567-89ab-cdef-fedc-ba9876543210}"), every);
  EXPECT_EQ(GuidFromString(GuidToString(IID_IObjectSafety)), IID_IObjectSafety);

  const char* malformed[] = {
      "",
      "01234567-89AB-CDEF-FEDC-BA9876543210",
      "{01234567-89AB-CDEF-FEDC-BA9876543210",
      "{01234567-89AB-CDEF-FEDC-BA9876543210} ",
      "{01234567-89AB-CDEF-FEDCBA9876543210-}",
      "{0123456-789AB-CDEF-FEDC-BA9876543210}",
      "{01234567-89AB-CDEF-FEDC-BA987654321G}",
      "{01234567-89AB-CDEF-FEDC-BA98765432 0}",
      "{+1234567-89AB-CDEF-FEDC-BA9876543210}",
      "(01234567-89AB-CDEF-FEDC-BA9876543210)",
  };
  for (const char* text : malformed) {
    EXPECT_EQ(GuidFromString(text), std::nullopt) << text;
  }
}

TEST(Variant, CopyAndClearOwnTheirStrings) {
  VARIANT source = MakeVariantBstr("first");
  VARIANT dest = MakeVariantBstr("replaced");
  // The copy frees what dest held and gets a string of its own.
  ASSERT_EQ(VariantCopy(&dest, &source), S_OK);
  EXPECT_EQ(dest.vt, VT_BSTR);
  EXPECT_NE(dest.bstrVal, source.bstrVal);
  EXPECT_EQ(Utf8FromBstr(dest.bstrVal), "first");
  EXPECT_EQ(VariantCopy(&dest, &dest), S_OK);
  EXPECT_EQ(Utf8FromBstr(dest.bstrVal), "first");
  EXPECT_EQ(VariantClear(&source), S_OK);
  EXPECT_EQ(source.vt, VT_EMPTY);
  EXPECT_EQ(Utf8FromBstr(dest.bstrVal), "first");

  // A reference is copied as the reference; the pointee stays the caller's.
  LONG number = 7;
  VARIANT byRef;
  VariantInit(&byRef);
  byRef.vt = VT_BYREF | VT_I4;
  byRef.plVal = &number;
  ASSERT_EQ(VariantCopy(&dest, &byRef), S_OK);
  EXPECT_EQ(dest.plVal, &number);
  EXPECT_EQ(VariantClear(&dest), S_OK);
  EXPECT_EQ(number, 7);

  // A type this layer does not know is refused and left alone.
  VARIANT unknown;
  VariantInit(&unknown);
  unknown.vt = 13;
  dest = MakeVariantBstr("kept");
  EXPECT_EQ(VariantClear(&unknown), DISP_E_BADVARTYPE);
  EXPECT_EQ(unknown.vt, 13);
  EXPECT_EQ(VariantCopy(&dest, &unknown), DISP_E_BADVARTYPE);
  EXPECT_EQ(Utf8FromBstr(dest.bstrVal), "kept");
  EXPECT_EQ(VariantClear(&dest), S_OK);
}

TEST(Variant, ConvertsArgumentsAsScriptsPassThem) {
  auto toI4 = [](VARIANT v, int32_t* out) {
    HRESULT hr = VariantToI4(v, out);
    VariantClear(&v);
    return hr;
  };
  int32_t value = 0;
  EXPECT_EQ(toI4(MakeVariantI4(-12), &value), S_OK);
  EXPECT_EQ(value, -12);
  EXPECT_EQ(toI4(MakeVariantBstr(" 42 "), &value), S_OK);
  EXPECT_EQ(value, 42);
  EXPECT_EQ(toI4(MakeVariantBstr("-2147483648"), &value), S_OK);
  EXPECT_EQ(value, INT32_MIN);
  EXPECT_EQ(toI4(MakeVariantBstr("2147483648"), &value), DISP_E_OVERFLOW);
  EXPECT_EQ(toI4(MakeVariantBstr("99999999999999999999"), &value), DISP_E_OVERFLOW);
  EXPECT_EQ(toI4(MakeVariantBstr("4x"), &value), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(toI4(MakeVariantBstr(""), &value), DISP_E_TYPEMISMATCH);
  VARIANT flag;
  VariantInit(&flag);
  flag.vt = VT_BOOL;
  flag.boolVal = VARIANT_TRUE;
  EXPECT_EQ(toI4(flag, &value), S_OK);
  EXPECT_EQ(value, -1);
  VARIANT missing;
  VariantInit(&missing);
  missing.vt = VT_ERROR;
  missing.scode = DISP_E_PARAMNOTFOUND;
  EXPECT_EQ(toI4(missing, &value), DISP_E_PARAMNOTFOUND);
  VARIANT null;
  VariantInit(&null);
  null.vt = VT_NULL;
  EXPECT_EQ(toI4(null, &value), DISP_E_TYPEMISMATCH);

  BSTR text = nullptr;
  ASSERT_EQ(VariantToBstr(MakeVariantI4(-5), &text), S_OK);
  EXPECT_EQ(Utf8FromBstr(text), "-5");
  SysFreeString(text);
  UniqueBstr held("by reference");
  BSTR slot = held.get();
  VARIANT byRef;
  VariantInit(&byRef);
  byRef.vt = VT_BYREF | VT_BSTR;
  byRef.pbstrVal = &slot;
  ASSERT_EQ(VariantToBstr(byRef, &text), S_OK);
  EXPECT_NE(text, held.get());
  EXPECT_EQ(Utf8FromBstr(text), "by reference");
  SysFreeString(text);
}

}  // namespace
}  // namespace tulix::com
