# Calls the C interface of the shared library from Python:
#   python3 examples/python/quillstone_example.py path/to/libquillstone.so http://127.0.0.1:8787/
import ctypes
import sys

library, server = sys.argv[1], sys.argv[2]
qs = ctypes.CDLL(library)


class Property(ctypes.Structure):
    _fields_ = [("key", ctypes.c_char_p), ("value", ctypes.c_char_p)]


LogHandler = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)
qs.quillstone_set_log_handler.argtypes = [LogHandler, ctypes.c_void_p]
qs.quillstone_config_new.restype = ctypes.c_void_p
qs.quillstone_config_new.argtypes = [ctypes.c_char_p] * 4
qs.quillstone_config_set_report_device.argtypes = [ctypes.c_void_p, ctypes.c_int]
qs.quillstone_start.argtypes = [ctypes.c_void_p]
qs.quillstone_config_free.argtypes = [ctypes.c_void_p]
qs.quillstone_track.argtypes = [ctypes.c_char_p, ctypes.c_double,
                                ctypes.POINTER(Property), ctypes.c_size_t]
qs.quillstone_add_breadcrumb.argtypes = [ctypes.c_char_p] * 2
qs.quillstone_capture.argtypes = [ctypes.c_char_p] * 3
qs.quillstone_flush.argtypes = [ctypes.c_long]


@LogHandler
def log_line(line, user_data):  # runs on the thread that writes the line
    print("library:", line.decode())


qs.quillstone_set_log_handler(log_line, None)
config = qs.quillstone_config_new(b"py-example", server.encode(), b"1.0.0", b"example")
qs.quillstone_config_set_report_device(config, 0)
qs.quillstone_start(config)
qs.quillstone_config_free(config)  # start keeps its own copy

props = (Property * 1)(Property(b"source", b"ctypes"))
qs.quillstone_track(b"py_started", 1.0, props, len(props))
qs.quillstone_add_breadcrumb(b"step", b'{"stage":"checkout"}')
qs.quillstone_capture(b"PyError", b"something went wrong", None)  # None: this thread's stack
delivered = qs.quillstone_flush(5000)
qs.quillstone_set_log_handler(LogHandler(), None)  # stderr again, before log_line goes
print("all reports delivered:", bool(delivered))
sys.exit(0 if delivered else 1)
