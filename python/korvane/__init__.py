from importlib import import_module as _import_module

_native = _import_module(".korvane", __name__)

# Re-export the compiled names in the order the extension registered them.
__all__ = [_name for _name in vars(_native) if not _name.startswith("_")]
globals().update({_name: getattr(_native, _name) for _name in __all__})
__doc__ = ""

# The import system bound the extension as an attribute of this package; it is not public.
globals().pop("korvane", None)
del _import_module
