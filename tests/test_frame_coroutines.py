"""Coroutine objects made by the feedwells functions: their attributes, the send/throw/close
protocol and its messages, the await protocol, and running them with or without asyncio."""
import asyncio
import collections.abc
import gc
import inspect
import pickle
import sys
import types
import warnings
import weakref

import pytest

from fakes import (  # noqa: F401  (fixtures)
    CALL_IDS, CALLS, Record, Session, Suspend, drive, env, feedwells)

REUSE = "cannot reuse already awaited coroutine"


def _never_awaited(caught):
    return [(w.category, str(w.message)) for w in caught if "awaited" in str(w.message)]


def _assert_finished(coro):
    """A finished coroutine refuses to be resumed, by `send` and by `await`."""
    with pytest.raises(RuntimeError) as info:
        coro.send(None)
    assert str(info.value) == REUSE

    async def await_again():
        return await coro

    outer = await_again()
    with pytest.raises(RuntimeError) as info:
        outer.send(None)
    assert str(info.value) == REUSE


class DirectCrud:
    """A data-access object whose `read_sync_source` returns one given awaitable."""

    def __init__(self, awaitable, on_call):
        self.awaitable = awaitable
        self.on_call = on_call

    def read_sync_source(self, *args):
        self.on_call()
        return self.awaitable


# --- attributes -------------------------------------------------------------------------------

@pytest.mark.parametrize("name, args", CALLS, ids=CALL_IDS)
def test_attributes_of_new_coroutine(feedwells, env, name, args):
    coro = getattr(feedwells, name)(*args)
    try:
        assert coro.__name__ == name
        assert coro.__qualname__ == name
        assert coro.cr_code is getattr(feedwells, name).__code__
        assert coro.cr_running is False
        assert coro.cr_await is None
        assert isinstance(coro.cr_frame, types.FrameType)
    finally:
        coro.close()
    # None of the body runs before the first resumption.
    assert env.events == []


def test_running_and_awaiting_state(feedwells, env, monkeypatch):
    holder = {}
    seen = []
    suspend = env.suspend(yields=("tick",))
    monkeypatch.setattr(feedwells, "crud_feedwells", DirectCrud(
        suspend, lambda: seen.append(("crud", holder["coro"].cr_running))))
    env.Model.hook = lambda record: seen.append(
        ("validate", holder["coro"].cr_running, holder["coro"].cr_await))

    coro = holder["coro"] = feedwells.get_sync_source(1)
    assert coro.send(None) == "tick"
    assert coro.cr_running is False
    assert coro.cr_await is suspend
    assert isinstance(coro.cr_frame, types.FrameType)

    drive(coro)
    assert seen == [("crud", True), ("validate", True, None)]
    assert coro.cr_running is False
    assert coro.cr_await is None


def test_satisfies_the_coroutine_protocol(feedwells, env):
    coro = feedwells.get_sync_source(1)
    try:
        assert isinstance(coro, collections.abc.Coroutine)
        assert isinstance(coro, collections.abc.Awaitable)
        assert inspect.isawaitable(coro)
    finally:
        coro.close()


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
def test_cannot_be_pickled(feedwells, env, protocol):
    coro = feedwells.get_sync_source(1)
    try:
        with pytest.raises((TypeError, pickle.PicklingError)):
            pickle.dumps(coro, protocol)
    finally:
        coro.close()


# --- send -------------------------------------------------------------------------------------

def test_runs_by_plain_send_without_event_loop(feedwells, env):
    coro = feedwells.get_sync_source(1)
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert isinstance(stop.value.value, env.Model)
    assert stop.value.value.record is env.crud.results["read_sync_source"]
    _assert_finished(coro)


def test_send_reaches_the_awaited_object(feedwells, env):
    env.crud.pause = lambda: env.suspend(yields=("first", "second"))
    coro = feedwells.get_sync_source(1)
    assert coro.send(None) == "first"
    assert coro.send("a value") == "second"
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert isinstance(stop.value.value, env.Model)
    assert [event[1] for event in env.of_kind("suspend.send")] == [None, "a value", None]


def test_first_send_must_be_none(feedwells, env):
    coro = feedwells.get_sync_source(1)
    with pytest.raises(TypeError) as info:
        coro.send("early")
    assert str(info.value) == "can't send non-None value to a just-started coroutine"
    _assert_finished(coro)
    assert env.events == []


def _finish_by_return(feedwells, env):
    coro = feedwells.get_sync_source(1)
    drive(coro)
    return coro


def _finish_by_error(feedwells, env):
    env.crud.errors["read_sync_source"] = LookupError("gone")
    coro = feedwells.get_sync_source(1)
    with pytest.raises(LookupError):
        drive(coro)
    return coro


def _finish_by_close_while_suspended(feedwells, env):
    env.crud.pause = lambda: env.suspend()
    coro = feedwells.get_sync_source(1)
    coro.send(None)
    coro.close()
    return coro


def _finish_by_close_before_start(feedwells, env):
    coro = feedwells.get_sync_source(1)
    coro.close()
    return coro


def _finish_by_throw_before_start(feedwells, env):
    coro = feedwells.get_sync_source(1)
    with pytest.raises(KeyError):
        coro.throw(KeyError("k"))
    return coro


@pytest.mark.parametrize("finish", [
    _finish_by_return, _finish_by_error, _finish_by_close_while_suspended,
    _finish_by_close_before_start, _finish_by_throw_before_start,
], ids=lambda f: f.__name__[len("_finish_by_"):])
def test_finished_coroutine_cannot_be_resumed(feedwells, env, finish):
    coro = finish(feedwells, env)
    _assert_finished(coro)


def test_awaiting_twice_under_asyncio(feedwells, env):
    async def main():
        coro = feedwells.get_sync_source(1)
        first = await coro
        with pytest.raises(RuntimeError) as info:
            await coro
        return first, str(info.value)

    first, message = asyncio.run(main())
    assert isinstance(first, env.Model)
    assert message == REUSE
    assert len(env.sessions.contexts) == 1


@pytest.mark.parametrize("where", ["awaited object", "body"])
@pytest.mark.parametrize("action", ["send", "throw"])
def test_resuming_while_executing(feedwells, env, where, action):
    holder = {}
    errors = []

    def reenter(*_):
        coro = holder["coro"]
        try:
            if action == "send":
                coro.send(None)
            else:
                coro.throw(KeyError("from inside"))
        except BaseException as exc:  # noqa: BLE001  (whatever it is, the test reports it)
            errors.append(exc)

    if where == "awaited object":
        env.crud.hooks["read_sync_source"] = reenter
    else:
        env.Model.hook = reenter
    coro = holder["coro"] = feedwells.get_sync_source(1)
    result = drive(coro)
    assert [(type(e), str(e)) for e in errors] == [(ValueError, "coroutine already executing")]
    # The refused resumption left the running coroutine alone.
    assert isinstance(result, env.Model)
    assert env.kinds() == ["open", "enter", "crud", "validate", "exit"]


def test_stop_iteration_leaving_body_becomes_runtime_error(feedwells, env):
    leaked = StopIteration("leaked")

    def hook(record):
        raise leaked

    env.Model.hook = hook
    coro = feedwells.get_sync_source(1)
    with pytest.raises(RuntimeError) as info:
        coro.send(None)
    assert str(info.value) == "generator raised StopIteration"
    assert info.value.__cause__ is leaked
    # The session frame saw the StopIteration itself.
    (_, exc_type, exc, _), = env.of_kind("exit")
    assert exc_type is StopIteration and exc is leaked
    _assert_finished(coro)


# --- throw ------------------------------------------------------------------------------------

@pytest.mark.parametrize("args", [(), (ValueError, ValueError("v"), None, None)],
                         ids=["none", "four"])
def test_throw_argument_count(feedwells, env, args):
    coro = feedwells.get_sync_source(1)
    with pytest.raises(TypeError) as info:
        coro.throw(*args)
    assert str(info.value) == "throw takes between 1 and 3 positional arguments"
    # The refused call left the coroutine as it was: it still runs to its end.
    assert isinstance(drive(coro), env.Model)


def test_throw_before_start_finishes_without_running_body(feedwells, env):
    coro = feedwells.get_sync_source(1)
    error = KeyError("thrown")
    with pytest.raises(KeyError) as info:
        coro.throw(error)
    assert info.value is error
    assert env.events == []
    _assert_finished(coro)


@pytest.mark.parametrize("form", ["instance", "class"])
def test_throw_reaches_awaited_object_then_session(feedwells, env, form):
    env.crud.pause = lambda: env.suspend()
    coro = feedwells.get_sync_source(1)
    coro.send(None)
    error = LookupError("thrown")
    with pytest.raises(LookupError) as info:
        coro.throw(error if form == "instance" else LookupError)
    (_, delivered), = env.of_kind("suspend.throw")
    assert type(delivered) is LookupError
    assert info.value is delivered
    if form == "instance":
        assert delivered is error
    (_, exc_type, exc, tb), = env.of_kind("exit")
    assert exc_type is LookupError and exc is delivered
    assert env.kinds()[-2:] == ["suspend.throw", "exit"]
    _assert_finished(coro)


def test_throw_handled_by_awaited_object_lets_body_go_on(feedwells, env):
    env.crud.pause = lambda: env.suspend(catch=True)
    coro = feedwells.get_sync_source(1)
    coro.send(None)
    with pytest.raises(StopIteration) as stop:
        coro.throw(LookupError("handled below"))
    assert isinstance(stop.value.value, env.Model)
    assert env.of_kind("exit") == [("exit", None, None, None)]


class ThrowRecorder:
    """An awaited iterator that keeps waiting and records what its `throw` is given."""

    def __init__(self):
        self.thrown = []

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return "waiting"

    def throw(self, *args):
        self.thrown.append(args)
        return "still waiting"


class NeedsArgument(Exception):
    def __init__(self, detail):
        super().__init__(detail)


@pytest.mark.parametrize("args", [
    (KeyError,), (KeyError, "k"), (KeyError, None), (KeyError, "k", None), (NeedsArgument,),
], ids=["class", "class and value", "class and None", "with traceback None", "class that needs an argument"])
def test_throw_reaches_awaited_objects_throw_as_given(feedwells, env, monkeypatch, args):
    awaited = ThrowRecorder()
    monkeypatch.setattr(feedwells, "crud_feedwells", DirectCrud(awaited, lambda: None))
    coro = feedwells.get_sync_source(1)
    assert coro.send(None) == "waiting"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert coro.throw(*args) == "still waiting"
    assert awaited.thrown == [args]
    assert [w.category for w in caught] == [DeprecationWarning] * (len(args) > 1)
    coro.close()


class NoThrow:
    """An awaited iterator without a throw method."""

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return "waiting"


def test_stop_iteration_thrown_before_start_leaves_as_it_is(feedwells, env):
    coro = feedwells.get_sync_source(1)
    stop = StopIteration("v")
    with pytest.raises(StopIteration) as info:
        coro.throw(stop)
    assert info.value is stop and info.value.value == "v"
    assert env.events == []
    _assert_finished(coro)


def test_stop_iteration_thrown_at_an_await_without_throw_completes_it(feedwells, env, monkeypatch):
    monkeypatch.setattr(feedwells, "crud_feedwells", DirectCrud(NoThrow(), lambda: None))
    record = Record(1)
    coro = feedwells.get_sync_source(1)
    assert coro.send(None) == "waiting"
    # The await gives the StopIteration's value and the body goes on with it.
    with pytest.raises(StopIteration) as stop:
        coro.throw(StopIteration(record))
    assert stop.value.value.record is record
    assert env.of_kind("exit") == [("exit", None, None, None)]


# --- close ------------------------------------------------------------------------------------

def test_close_before_start(feedwells, env):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro = feedwells.get_sync_source(1)
        assert coro.close() is None
        del coro
        gc.collect()
    # Closing marks it finished: nothing runs and nothing warns about it.
    assert _never_awaited(caught) == []
    assert env.events == []


def test_close_while_suspended_closes_awaited_object_first(feedwells, env):
    env.crud.pause = lambda: env.suspend()
    coro = feedwells.get_sync_source(1)
    coro.send(None)
    assert coro.close() is None
    assert env.kinds() == ["open", "enter", "crud", "suspend.send", "suspend.close", "exit"]
    (_, exc_type, exc, tb), = env.of_kind("exit")
    assert exc_type is GeneratorExit
    assert isinstance(exc, GeneratorExit)
    assert isinstance(tb, types.TracebackType)
    _assert_finished(coro)


def test_close_finished_coroutine_does_nothing(feedwells, env):
    coro = feedwells.get_sync_source(1)
    drive(coro)
    before = list(env.events)
    assert coro.close() is None
    assert env.events == before


def test_close_refused_when_body_awaits_again(feedwells, env):
    env.crud.pause = lambda: env.suspend()

    async def exit_hook(exc_type, exc, tb):
        if exc_type is GeneratorExit:
            await Suspend(env.events, yields=("again",))

    env.sessions.exit_hook = exit_hook
    coro = feedwells.get_sync_source(1)
    coro.send(None)
    with pytest.raises(RuntimeError) as info:
        coro.close()
    assert str(info.value) == "coroutine ignored GeneratorExit"
    # The body is still inside __aexit__; once that ends, GeneratorExit leaves the body.
    with pytest.raises(GeneratorExit):
        coro.send(None)
    _assert_finished(coro)


# --- destruction ------------------------------------------------------------------------------

@pytest.mark.parametrize("name, args", CALLS, ids=CALL_IDS)
def test_never_awaited_warning(feedwells, env, name, args):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro = getattr(feedwells, name)(*args)
        del coro
        gc.collect()
    assert _never_awaited(caught) == [(RuntimeWarning, f"coroutine '{name}' was never awaited")]
    assert env.events == []


def test_destroyed_while_suspended_is_closed(feedwells, env):
    env.crud.pause = lambda: env.suspend()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro = feedwells.get_sync_source(1)
        coro.send(None)
        del coro
        gc.collect()
    assert _never_awaited(caught) == []
    assert env.kinds()[-2:] == ["suspend.close", "exit"]
    assert env.of_kind("exit")[0][1] is GeneratorExit


def test_coroutine_objects_made_again_after_finished_or_finalised_ones_still_finalise(feedwells, env):
    """Objects of calls that ended are reused by later calls; whichever memory a coroutine gets,
    one dropped unawaited warns and one dropped while suspended is closed."""
    env.crud.pause = lambda: env.suspend()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(3):
            finished = [feedwells.get_sync_source(1) for _ in range(6)]
            for coro in finished:
                drive(coro)
            del finished, coro
            feedwells.get_sync_source(2)
            gc.collect()
            suspended = feedwells.get_sync_source(3)
            suspended.send(None)
            del suspended
            gc.collect()
    assert _never_awaited(caught) == [(RuntimeWarning, "coroutine 'get_sync_source' was never awaited")] * 3
    assert env.kinds().count("suspend.close") == 3


def test_error_while_closing_destroyed_coroutine_is_unraisable(feedwells, env, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    env.crud.pause = lambda: env.suspend()
    env.sessions.exit_error = error = OSError("session close failed")
    coro = feedwells.get_sync_source(1)
    coro.send(None)
    del coro
    gc.collect()
    assert [report.exc_value for report in reported] == [error]


def test_finished_coroutine_releases_its_locals(feedwells, monkeypatch):
    refs = []

    class Context:
        def __init__(self):
            refs.append(weakref.ref(self))

        async def __aenter__(self):
            session = Session(1)
            refs.append(weakref.ref(session))
            return session

        async def __aexit__(self, *exc_info):
            return False

    class ReadOnce:
        async def read_sync_source(self, session, source_id):
            record = Record(source_id)
            refs.append(weakref.ref(record))
            return record

    class Model:
        @classmethod
        def model_validate(cls, record):
            return "model"

    monkeypatch.setattr(feedwells, "get_db_session_context", Context)
    monkeypatch.setattr(feedwells, "crud_feedwells", ReadOnce())
    monkeypatch.setattr(feedwells, "SyncSourceReadV1", Model)
    coro = feedwells.get_sync_source(1)
    assert drive(coro) == "model"
    gc.collect()
    # The coroutine object is still alive, but its context, session and record are gone.
    assert len(refs) == 3
    assert [ref() for ref in refs] == [None, None, None]


# --- the await protocol -----------------------------------------------------------------------

def test_await_iterator_drives_the_same_execution(feedwells, env):
    env.crud.pause = lambda: env.suspend(yields=("first",))
    coro = feedwells.get_sync_source(1)
    waiter = coro.__await__()
    assert iter(waiter) is waiter
    for method in ("__next__", "send", "throw", "close"):
        assert callable(getattr(waiter, method))
    assert next(waiter) == "first"
    with pytest.raises(StopIteration) as stop:
        waiter.send("resumed")
    assert isinstance(stop.value.value, env.Model)
    assert ("suspend.send", "resumed") in env.events
    _assert_finished(coro)


@pytest.mark.parametrize("how", ["throw", "close"])
def test_await_iterator_throw_and_close(feedwells, env, how):
    env.crud.pause = lambda: env.suspend()
    coro = feedwells.get_sync_source(1)
    waiter = coro.__await__()
    next(waiter)
    if how == "throw":
        error = LookupError("through the waiter")
        with pytest.raises(LookupError) as info:
            waiter.throw(error)
        assert info.value is error
        expected = LookupError
    else:
        assert waiter.close() is None
        expected = GeneratorExit
    assert env.of_kind("exit")[0][1] is expected
    _assert_finished(coro)


@pytest.mark.parametrize("with_coroutine", [False, True])
def test_await_iterator_type_cannot_be_instantiated(feedwells, env, with_coroutine):
    coro = feedwells.get_sync_source(1)
    try:
        waiter_type = type(coro.__await__())
        with pytest.raises(TypeError):
            waiter_type(*([coro] if with_coroutine else []))
    finally:
        coro.close()


# --- asyncio ----------------------------------------------------------------------------------

def _really_suspend(env):
    env.sessions.pause = lambda: asyncio.sleep(0)
    env.crud.pause = lambda: asyncio.sleep(0)


def test_runs_under_asyncio_run(feedwells, env):
    _really_suspend(env)
    result = asyncio.run(feedwells.get_sync_source(5))
    assert isinstance(result, env.Model)
    assert env.kinds() == ["open", "enter", "crud", "validate", "exit"]


def test_concurrent_calls_have_their_own_sessions(feedwells, env):
    _really_suspend(env)
    env.crud.results["list_feedwells"] = [Record("a")]

    async def main():
        return await asyncio.gather(
            feedwells.list_feedwells(), feedwells.get_sync_source(1),
            feedwells.delete_sync_source(2))

    listing, model, deleted = asyncio.run(main())
    assert [item.record.label for item in listing] == ["a"]
    assert isinstance(model, env.Model)
    assert deleted is None
    sessions = [context.session for context in env.sessions.contexts]
    assert len(sessions) == 3
    assert sorted(call[2][0].number for call in env.of_kind("crud")) == [1, 2, 3]
    assert [event[1:] for event in env.of_kind("exit")] == [(None, None, None)] * 3
    # The three ran interleaved: all sessions were opened before the first was closed.
    kinds = env.kinds()
    assert kinds.index("exit") > max(i for i, kind in enumerate(kinds) if kind == "open")


def test_cancellation_reaches_the_session(feedwells, env):
    async def main():
        entered = asyncio.Event()
        never = asyncio.Event()

        async def wait():
            entered.set()
            await never.wait()

        env.crud.pause = wait
        task = asyncio.ensure_future(feedwells.get_sync_source(1))
        await entered.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    (_, exc_type, exc, _), = env.of_kind("exit")
    assert exc_type is asyncio.CancelledError
    assert isinstance(exc, asyncio.CancelledError)
