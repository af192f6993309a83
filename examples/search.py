#!/usr/bin/env python3
"""Runs one search through tulixlib and prints its results, best first.

    search.py WORDS [CATEGORY]

The library must be registered (see tulixlib.h). The client library libtulixclient.so is
looked up as the system finds shared libraries, or taken from $TULIX_CLIENT_LIBRARY.
"""
import ctypes
import os
import sys
import time

HRESULT = ctypes.c_int32
LONG = ctypes.c_int32
BSTR = ctypes.c_void_p

FINISHED, TIMED_OUT, NOT_FOUND = 3, 5, 0
ORDER_COMBINED = 4
MAX_WAIT_SECONDS = 400


class GUID(ctypes.Structure):
    _fields_ = [("Data1", ctypes.c_uint32), ("Data2", ctypes.c_uint16),
                ("Data3", ctypes.c_uint16), ("Data4", ctypes.c_uint8 * 8)]


IID_ITulixExp = GUID(0xF5914C3E, 0x2D7B, 0x4A60,
                     (ctypes.c_uint8 * 8)(0x97, 0xE1, 0x0B, 0x48, 0xC6, 0x3A, 0x5D, 0x72))

client = ctypes.CDLL(os.environ.get("TULIX_CLIENT_LIBRARY", "libtulixclient.so"))
client.CreateObjectByProgID.argtypes = [ctypes.c_char_p, ctypes.POINTER(GUID),
                                        ctypes.POINTER(ctypes.c_void_p)]
client.CreateObjectByProgID.restype = HRESULT
client.SysAllocStringFromUtf8.argtypes = [ctypes.c_char_p]
client.SysAllocStringFromUtf8.restype = BSTR
client.SysFreeString.argtypes = [BSTR]
client.Utf8FromBstr.argtypes = [BSTR]
client.Utf8FromBstr.restype = ctypes.c_void_p  # freed with libc's free
client.FreeUnusedLibraries.restype = ctypes.c_size_t
libc = ctypes.CDLL(None)
libc.free.argtypes = [ctypes.c_void_p]


class Bstr:
    """A BSTR made from a Python string, freed when the object goes."""

    def __init__(self, text):
        self.value = client.SysAllocStringFromUtf8(text.encode("utf-8"))

    def __del__(self):
        client.SysFreeString(self.value)


def take_text(bstr):
    """The text of a BSTR a method gave back, which is then freed."""
    utf8 = client.Utf8FromBstr(bstr)
    client.SysFreeString(bstr)
    try:
        return ctypes.string_at(utf8).decode("utf-8")
    finally:
        libc.free(utf8)


class TulixExp:
    """ITulixExp called through its table: method n is entry n (QueryInterface is 0)."""

    # Table index, then the argument types after the object itself.
    METHODS = {
        "Release": (2, []),
        "StartSearch": (7, [BSTR, BSTR, LONG, LONG, LONG, ctypes.POINTER(BSTR)]),
        "get_result_url": (8, [BSTR, LONG, LONG, ctypes.POINTER(BSTR)]),
        "GetSearchStatus": (9, [BSTR, ctypes.POINTER(LONG)]),
        "GetSearchTotal": (12, [BSTR, ctypes.POINTER(LONG)]),
        "get_result_text": (13, [BSTR, LONG, LONG, ctypes.POINTER(BSTR)]),
        "get_result_engines": (16, [BSTR, LONG, LONG, ctypes.POINTER(BSTR)]),
        "get_result_percent": (20, [BSTR, LONG, LONG, ctypes.POINTER(LONG)]),
    }

    def __init__(self):
        self.object = ctypes.c_void_p()
        hr = client.CreateObjectByProgID(b"Tulixlib.TulixExp", ctypes.byref(IID_ITulixExp),
                                         ctypes.byref(self.object))
        if hr != 0:
            raise OSError("Cannot make Tulixlib.TulixExp (0x%08X): is tulixlib registered?"
                          % (hr & 0xFFFFFFFF))
        table = ctypes.cast(self.object, ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p)))[0]
        for name, (index, argtypes) in self.METHODS.items():
            restype = ctypes.c_uint32 if name == "Release" else HRESULT
            prototype = ctypes.CFUNCTYPE(restype, ctypes.c_void_p, *argtypes)
            setattr(self, "_" + name, prototype(table[index]))

    def release(self):
        self._Release(self.object)

    def text(self, name, *args):
        out = BSTR()
        getattr(self, "_" + name)(self.object, *args, ctypes.byref(out))
        return take_text(out)

    def number(self, name, *args):
        out = LONG()
        getattr(self, "_" + name)(self.object, *args, ctypes.byref(out))
        return out.value


def main(argv):
    if len(argv) not in (2, 3):
        print("usage: search.py WORDS [CATEGORY]", file=sys.stderr)
        return 2
    exp = TulixExp()
    words, category = Bstr(argv[1]), Bstr(argv[2] if len(argv) == 3 else "web")
    # -1: the user's default shopping policy, results per engine and number of engines.
    address = exp.text("StartSearch", words.value, category.value, -1, -1, -1)
    if "search=" not in address:
        print("No search was started", file=sys.stderr)
        return 1
    print("results page:", address)
    name = Bstr(address.split("search=", 1)[1])
    deadline = time.monotonic() + MAX_WAIT_SECONDS
    status = NOT_FOUND
    while time.monotonic() < deadline:
        status = exp.number("GetSearchStatus", name.value)
        if status in (FINISHED, TIMED_OUT, NOT_FOUND):
            break
        time.sleep(0.1)
    if status == TIMED_OUT:
        print("The search timed out; what it found so far:")
    total = exp.number("GetSearchTotal", name.value)
    print("%d results" % total)
    for i in range(total):
        percent = exp.number("get_result_percent", name.value, ORDER_COMBINED, i)
        print("%d. (%d%%)" % (i + 1, percent))
        print("  ", exp.text("get_result_url", name.value, ORDER_COMBINED, i))
        print("  ", exp.text("get_result_text", name.value, ORDER_COMBINED, i))
        print("   found by:", exp.text("get_result_engines", name.value, ORDER_COMBINED, i))
    del name, words, category
    exp.release()
    client.FreeUnusedLibraries()
    return 0 if status != NOT_FOUND else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
