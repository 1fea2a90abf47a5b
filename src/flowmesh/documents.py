"""Pipeline documents as files.

A pipeline document (`Pipeline.serialize`) is written as UTF-8 JSON text,
indented, with a stable key order: the document's own keys in the order the
pipeline writes them, configuration records with their keys sorted. Two saves
of one pipeline are byte-identical, and two versions of a pipeline diff line
by line. Writing is atomic: the text goes to a temporary file in the target's
directory, is flushed and fsynced, and is then renamed over the target, so a
crash while saving leaves either the previous file or the new one, never a
truncated one.

Reading checks the text and the document's structure before anything is
built, and can restrict the modules a document may name (`allowed_modules`):
loading a document imports the modules it names, so a document is trusted
like code.
"""

from __future__ import annotations

import contextlib
import contextvars
import difflib
import errno
import functools
import gc
import json
import math
import numbers
import operator
import os
import secrets
import stat
import sys
import traceback
from collections.abc import Iterable, Iterator
from typing import Any, BinaryIO


class DocumentError(ValueError):
    """A pipeline document that cannot be saved or loaded.

    `Pipeline.save` raises it, before anything is written, for a configuration
    value that JSON cannot hold, naming the element and the key.
    `Pipeline.load` raises it for a broken file (not UTF-8, invalid JSON -- with
    line and column --, a top level that is not an object, parts of the wrong
    type), for a module outside `allowed_modules` (before anything is
    imported), and for a document that cannot be rebuilt (its revision, an
    element, a connection). The message starts with the file's path, which is
    also kept in `path`; the underlying error, if any, is the cause.
    """

    def __init__(self, message: str, path: str | None = None):
        super().__init__(message)
        self.path = path


# ----------------------------------------------------------------- writing


def _keys():
    from .imp import PipelineImp

    return PipelineImp.SerializationKeys


def _element_label(index: int, entry: Any) -> str:
    cls = entry.get("class") if isinstance(entry, dict) else None
    config = entry.get("config") if isinstance(entry, dict) else None
    name = config.get("name") if isinstance(config, dict) else None
    label = f"element {index}"
    if isinstance(name, str):
        label += f" '{name}'"
    if isinstance(cls, str):
        label += f" ({cls})"
    return label


def _shown(value: Any) -> str:
    try:
        return repr(value)
    except Exception:
        return f"<unprintable {type(value).__name__} object>"


class _Unwritable(Exception):
    def __init__(self, where: str, why: str):
        super().__init__(where, why)
        self.where = where
        self.why = why


# Deeper values could be written but not read back: the reader's nesting
# limit is the interpreter's recursion limit, less the frames above it.
_MAX_DEPTH = 500


def _integer(number: int, where: str) -> int:
    # The interpreter's limit on integer text applies to writing and reading.
    if number.bit_length() > 3 * 4300:
        try:
            int.__repr__(number)
        except ValueError:
            raise _Unwritable(
                where,
                f"holds an integer of more than {sys.get_int_max_str_digits()} digits, "
                "which cannot be read back",
            ) from None
    return number


def _plain(value: Any, where: str, active: set[int], depth: int = 0) -> Any:
    """`value` as plain JSON values (dict keys sorted), or _Unwritable.

    Containers are read with the built-in types' own methods, so a subclass
    is written as the data it holds, whatever its overrides do.
    """
    if value is None or value is True or value is False:
        return value
    if isinstance(value, str):
        return str.__str__(value)  # a str subclass (an enum member) as its text
    if isinstance(value, int):
        return _integer(int.__index__(value), where)
    if isinstance(value, numbers.Integral):  # numpy integers and the like
        return _integer(operator.index(value), where)
    if isinstance(value, (float, numbers.Real)):
        number = float.__float__(value) if isinstance(value, float) else float(value)
        if not math.isfinite(number):
            raise _Unwritable(where, f"holds {number!r}, which JSON cannot hold")
        return number
    if isinstance(value, (dict, list)):
        if id(value) in active:
            raise _Unwritable(where, "contains itself")
        if depth >= _MAX_DEPTH:
            raise _Unwritable(where, f"is nested more than {_MAX_DEPTH} levels deep")
        active.add(id(value))
        try:
            if isinstance(value, list):
                return [
                    _plain(v, f"{where}[{i}]", active, depth + 1)
                    for i, v in enumerate(list.copy(value))
                ]
            items = []
            for key, item in list(dict.items(value)):
                if not isinstance(key, str):
                    raise _Unwritable(
                        where, f"has the key {_shown(key)}, but JSON object keys are strings"
                    )
                items.append((str.__str__(key), item))
            items.sort(key=lambda pair: pair[0])
            return {
                k: _plain(v, f"{where}.{k}" if where else k, active, depth + 1) for k, v in items
            }
        finally:
            active.discard(id(value))
    if isinstance(value, tuple):
        raise _Unwritable(where, "holds a tuple, which JSON would read back as a list; use a list")
    raise _Unwritable(where, f"holds a {type(value).__name__}, which JSON cannot hold")


def to_text(document: dict) -> str:
    """The JSON text of a pipeline document.

    Raises DocumentError naming the element and the key when a configuration
    value cannot be written as JSON.
    """
    keys = _keys()
    plain: dict[str, Any] = {}
    for key, value in document.items():
        if key == keys.NODES:
            entries = []
            for index, entry in enumerate(value):
                try:
                    entries.append(
                        {
                            k: _plain(v, "", set()) if k == "config" else _plain(v, k, set())
                            for k, v in entry.items()
                        }
                    )
                except _Unwritable as e:
                    what = f"configuration key '{e.where}'" if e.where else "configuration"
                    raise DocumentError(
                        f"Cannot save {_element_label(index, entry)}: its {what} {e.why}."
                    ) from None
            plain[key] = entries
        else:
            try:
                plain[key] = _plain(value, key, set())
            except _Unwritable as e:
                raise DocumentError(f"Cannot save the document: '{e.where}' {e.why}.") from None
    return json.dumps(plain, indent=2, ensure_ascii=False, allow_nan=False) + "\n"


def too_deep(elements: Iterable[Any]) -> DocumentError:
    """The error for a document whose writing ran out of recursion: names the
    first element whose own entry cannot be made."""
    for index, element in enumerate(elements):
        try:
            element.serialize()
        except RecursionError:
            name = getattr(element, "name", None)
            label = f"element {index}" + (f" '{name}'" if isinstance(name, str) else "")
            return DocumentError(
                f"Cannot save {label} ({type(element).__name__}): its configuration is nested "
                "too deeply to be copied."
            )
        except Exception:
            continue
    return DocumentError("Cannot save the document: it is nested too deeply to be copied.")


_KINDS = (
    (stat.S_ISDIR, "a directory"),
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
)


def _refuse_unless_regular(target: str, shown: str) -> None:
    # A rename would put a regular file in the place of a device or a FIFO
    # (as root, of /dev/null itself).
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        return
    if stat.S_ISREG(mode):
        return
    kind = next((name for test, name in _KINDS if test(mode)), "a special file")
    error = IsADirectoryError if stat.S_ISDIR(mode) else FileExistsError
    code = errno.EISDIR if stat.S_ISDIR(mode) else errno.EEXIST
    raise error(code, f"is {kind}, not a regular file, and is not replaced", shown)


@contextlib.contextmanager
def replacing(path: str | os.PathLike) -> Iterator[BinaryIO]:
    """Write a new version of the file at `path` into the yielded stream; it
    replaces the file, all at once, when the block ends without an error.

    The previous file (if any) stays intact until the new one is complete on
    disk; its permission bits carry over to the new one. Only a regular file
    is replaced: anything else at `path` (a directory, a FIFO, a device, a
    socket), and a path ending in a separator, raise OSError before anything
    is written.
    """
    named = os.fspath(path)
    shown = os.fsdecode(named)
    separators = (os.sep, os.altsep) if os.altsep else (os.sep,)
    if shown.endswith(separators):
        raise IsADirectoryError(
            errno.EISDIR, "a path ending in a separator names a directory, not a file", shown
        )
    target = os.path.realpath(named)
    _refuse_unless_regular(target, shown)
    directory = os.path.dirname(target)
    base = os.path.basename(target)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    while True:
        temporary = os.path.join(directory, f".{base}.{secrets.token_hex(6)}.tmp")
        try:
            fd = os.open(temporary, flags, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with open(fd, "wb", closefd=True) as stream:
            yield stream
            stream.flush()
            os.fsync(stream.fileno())
        with contextlib.suppress(FileNotFoundError):
            os.chmod(temporary, stat.S_IMODE(os.stat(target).st_mode))
        _refuse_unless_regular(target, shown)  # something may have taken its place meanwhile
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    # The rename itself must reach the disk too; some file systems cannot
    # open a directory for that, and the file is in place either way.
    with contextlib.suppress(OSError):
        dir_fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
        try:
            os.fsync(dir_fd)
        finally:
            os.close(dir_fd)


def write_atomic(path: str | os.PathLike, data: bytes) -> None:
    """Replace the file at `path` with `data`, all at once (see `replacing`)."""
    with replacing(path) as stream:
        stream.write(data)


# ----------------------------------------------------------------- reading


def _element_classes(module: Any) -> list[str]:
    """The public names in `module` that hold element classes (Portable subclasses)."""
    from .portable import Portable

    names = []
    try:
        members = list(dict.items(vars(module)))
    except Exception:
        return names
    for name, value in members:
        if not isinstance(name, str) or name.startswith("_") or not isinstance(value, type):
            continue
        try:
            if issubclass(value, Portable):
                names.append(name)
        except Exception:  # a metaclass that refuses the question
            continue
    return names


_MISSING = object()


def class_lookup_error(module: Any, name: Any, found: Any = _MISSING) -> str:
    """Why `name` in `module` is no class to rebuild an element from (`found`:
    what the module holds under that name, if anything), with the nearest element
    class of the module when one is close."""
    module_name = getattr(module, "__name__", None)
    module_name = module_name if isinstance(module_name, str) else _shown(module)
    name = name if isinstance(name, str) else _shown(name)
    if found is _MISSING:
        why = f"module '{module_name}' has no '{name}'"
    else:
        why = f"'{module_name}.{name}' is a {type(found).__name__}, not a class"
    text = f"Class '{name}' could not be imported: {why}."
    near = difflib.get_close_matches(name, _element_classes(module), n=1, cutoff=0.75)
    if near and near[0] != name:
        text += f" Did you mean '{near[0]}'?"
    return text


_JSON_KINDS = ((bool, "a boolean"), (dict, "an object"), (list, "an array"), (str, "a string"))


def _kind(value: Any) -> str:
    if value is None:
        return "null"
    for cls, name in _JSON_KINDS:
        if isinstance(value, cls):
            return name
    return "a number" if isinstance(value, (int, float)) else type(value).__name__


def _refuse_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON value")


# A document is a few kilobytes; anything near this size is not one, and
# reading it whole would hold it (and its parse) in memory.
MAX_DOCUMENT_BYTES = 32 * 1024 * 1024


def _read_limited(path: str | os.PathLike, where: str) -> bytes:
    """The bytes of the regular file at `path`, or DocumentError when it is
    something else (a device or a FIFO may never end) or too large."""
    # Non-blocking, so that opening a FIFO with no writer does not wait.
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise DocumentError(f"{where}: not a regular file.", where)
        raw = b""
        if info.st_size <= MAX_DOCUMENT_BYTES:
            with open(fd, "rb", closefd=False) as stream:
                raw = stream.read(MAX_DOCUMENT_BYTES + 1)  # catches a file growing meanwhile
    finally:
        os.close(fd)
    if info.st_size > MAX_DOCUMENT_BYTES or len(raw) > MAX_DOCUMENT_BYTES:
        raise DocumentError(
            f"{where}: larger than {MAX_DOCUMENT_BYTES // (1024 * 1024)} MiB, "
            "the limit of a pipeline document.",
            where,
        )
    return raw


def parse(path: str | os.PathLike) -> dict:
    """The document stored at `path`, checked for the structure a reader needs.

    OSError when the file cannot be read; DocumentError for anything wrong
    with its content, and before reading for a file larger than
    MAX_DOCUMENT_BYTES or one that is not a regular file.
    """
    where = os.fsdecode(path)
    raw = _read_limited(path, where)
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise DocumentError(
            f"{where}: not UTF-8 text (invalid byte at offset {e.start}).", where
        ) from e
    try:
        document = json.loads(text, parse_constant=_refuse_constant)
    except json.JSONDecodeError as e:
        raise DocumentError(
            f"{where}: invalid JSON at line {e.lineno}, column {e.colno}: {e.msg}.", where
        ) from e
    except ValueError as e:  # NaN, Infinity
        raise DocumentError(f"{where}: invalid JSON: {e}.", where) from e
    except RecursionError as e:
        raise DocumentError(f"{where}: invalid JSON: nested too deeply.", where) from e
    check_structure(document, where)
    return document


def check_structure(document: Any, where: str) -> None:
    """DocumentError unless `document` has the parts a reader needs, each of the right type."""

    def refuse(what: str) -> None:
        raise DocumentError(f"{where}: {what}", where)

    if not isinstance(document, dict):
        refuse(f"the document is {_kind(document)}, not an object.")
    keys = _keys()
    for key in (keys.NODES, keys.CONNECTIONS):
        if key not in document:
            refuse(f'the document has no "{key}" list.')
        if not isinstance(document[key], list):
            refuse(f'"{key}" must be an array, not {_kind(document[key])}.')
    writer = document.get(keys.WRITER)
    if writer is not None and not isinstance(writer, dict):
        refuse(f'"{keys.WRITER}" must be an object, not {_kind(writer)}.')
    for index, entry in enumerate(document[keys.NODES]):
        at = f"{keys.NODES}[{index}]"
        if not isinstance(entry, dict):
            refuse(f"{at} must be an object, not {_kind(entry)}.")
        for part in ("module", "class"):
            if part not in entry:
                refuse(f'{at} has no "{part}".')
            if not isinstance(entry[part], str) or not entry[part]:
                refuse(f'{at} "{part}" must be a non-empty string, not {_kind(entry[part])}.')
        config = entry.get("config")
        if config is not None and not isinstance(config, dict):
            refuse(f'{at} "config" must be an object or null, not {_kind(config)}.')
    for index, pair in enumerate(document[keys.CONNECTIONS]):
        if not (
            isinstance(pair, list) and len(pair) == 2 and all(isinstance(e, str) for e in pair)
        ):
            refuse(
                f"{keys.CONNECTIONS}[{index}] must be a pair of port references "
                f"(two strings), not {_kind(pair)}"
                + (f" of {len(pair)}." if isinstance(pair, list) else ".")
            )


_restricted = contextvars.ContextVar("flowmesh_documents_restricted", default=False)


def restricted() -> bool:
    """Whether the elements being built come from a document loaded with
    `allowed_modules`: such a document may not grant what runs code it names
    (unpickling a file)."""
    return _restricted.get()


@contextlib.contextmanager
def restricting() -> Iterator[None]:
    token = _restricted.set(True)
    try:
        yield
    finally:
        _restricted.reset(token)


def module_prefixes(allowed_modules: Iterable[str]) -> list[str]:
    """The prefixes of `allowed_modules`, checked: each a dotted module name."""
    if isinstance(allowed_modules, (str, bytes)):
        raise TypeError("allowed_modules must be a list of module-name prefixes, not a string.")
    prefixes = list(allowed_modules)
    for prefix in prefixes:
        if not isinstance(prefix, str):
            raise TypeError(
                f"allowed_modules entries must be strings, got {type(prefix).__name__}."
            )
        if not all(part.isidentifier() for part in prefix.split(".")):
            raise ValueError(f"allowed_modules entry {prefix!r} is not a dotted module name.")
    return prefixes


# Modules of this package that run a command rather than hold elements: the
# command line's package, and where it lived before (an older copy installed
# beside this one may still hold them).
_COMMAND_PACKAGE = "flowmesh.commands"
_COMMAND_MODULES = ("flowmesh.cli", "flowmesh.demo")
_TOOL_PARTS = frozenset({"test", "tests", "testing", "conftest", "tools", "setup"})


def _inside(module: str, prefix: str) -> bool:
    return module == prefix or module.startswith(prefix + ".")


@functools.cache
def _entry_point_modules() -> frozenset[str]:
    """The modules that installed commands start from (read from package
    metadata, nothing imported)."""
    from importlib import metadata

    found = set(_COMMAND_MODULES)
    try:
        for group in ("console_scripts", "gui_scripts"):
            for point in metadata.entry_points(group=group):
                found.add(point.value.partition(":")[0].strip())
    except Exception:  # broken metadata of some installed package
        pass
    return frozenset(found)


def element_module(module: str) -> bool:
    """Whether `module` may hold elements: not private (a name part beginning
    with "_", `__main__` among them), not a test or tool module, and not one
    that an installed command starts from, since importing those runs things."""
    for part in module.split("."):
        if part.startswith("_") or part in _TOOL_PARTS:
            return False
        if part.startswith("test_") or part.endswith("_test"):
            return False
    return not _inside(module, _COMMAND_PACKAGE) and module not in _entry_point_modules()


def admitted(module: str, prefixes: list[str]) -> bool:
    """Whether `module` is one of `prefixes` (named by the caller, so taken as
    an element module), or lies inside one (whole dotted components:
    "flowmesh" admits "flowmesh.sources", not "flowmeshevil") and is an
    element module (`element_module`)."""
    if module in prefixes:
        return True
    return any(_inside(module, p) for p in prefixes) and element_module(module)


def named_modules(document: dict):
    """(element index, entry, place, module) for every module reading `document`
    would import: each element's own, and each one named inside an element's
    configuration (a chain rebuilds its nodes from entries listed there, and
    any object with a "module" key may be such an entry). `place` is None for
    the element's own module, else where in its configuration the name stands.
    """
    for index, entry in enumerate(document[_keys().NODES]):
        yield index, entry, None, entry["module"]
        pending = [("config", entry.get("config"))]
        while pending:
            place, value = pending.pop()
            if isinstance(value, dict):
                module = value.get("module")
                if isinstance(module, str):
                    yield index, entry, place, module
                children = [(f"{place}.{k}", v) for k, v in value.items()]
            elif isinstance(value, list):
                children = [(f"{place}[{i}]", v) for i, v in enumerate(value)]
            else:
                continue
            pending += reversed(children)  # document order


def check_modules(document: dict, prefixes: list[str], where: str) -> None:
    """DocumentError for the first module outside `prefixes` that reading
    `document` would import."""
    for index, entry, place, module in named_modules(document):
        if not admitted(module, prefixes):
            allowed = ", ".join(prefixes) or "nothing"
            at = f" at {place}" if place else ""
            raise DocumentError(
                f"{where}: {_element_label(index, entry)} names module '{module}'{at}, which "
                f"allowed_modules does not admit (allowed: {allowed}). Nothing was imported.",
                where,
            )


@contextlib.contextmanager
def releasing_failed_build():
    """On a failure inside the block, let go of everything the block built.

    A failed read leaves its elements unreachable but alive: they refer to
    themselves through their handlers until the collector runs, and the
    element whose constructor failed is held by the traceback's frames. While
    alive they stay registered and their ids would block a corrected document.
    Clearing the finished frames' locals and collecting releases them; their
    ids leave the registry by themselves, while objects that something else
    still holds (another thread's elements) stay registered.
    """
    # The exception being handled when the block began (the caller's) becomes
    # the context of the failure; its frames are the caller's to keep.
    earlier = _chain_ids(sys.exception())
    try:
        yield
    except BaseException as e:
        _clear_frames(e, earlier)
        gc.collect()
        raise


def _chain_ids(error: BaseException | None) -> set[int]:
    pending, seen = [error], set()
    while pending:
        exc = pending.pop()
        if exc is None or id(exc) in seen:
            continue
        seen.add(id(exc))
        pending += [exc.__cause__, exc.__context__]
        if isinstance(exc, BaseExceptionGroup):
            pending += exc.exceptions
    return seen


def _clear_frames(error: BaseException, keep: set[int]) -> None:
    pending, seen = [error], set(keep)
    while pending:
        exc = pending.pop()
        if exc is None or id(exc) in seen:
            continue
        seen.add(id(exc))
        traceback.clear_frames(exc.__traceback__)
        pending += [exc.__cause__, exc.__context__]
        if isinstance(exc, BaseExceptionGroup):
            pending += exc.exceptions
