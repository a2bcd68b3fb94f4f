"""A second interpreter, on every interpreter the package supports: the text
of exec_in_subinterpreter(code, config="legacy"), to put in front of the
script of a child process.  It runs code in a new interpreter ("legacy" or
"isolated"; before 3.12 both share the first one's GIL) and returns None,
or [type name, message] of what the code raised."""

EXEC_IN_SUBINTERPRETER = r'''
def exec_in_subinterpreter(code, config="legacy"):
    import re
    try:
        import _interpreters
    except ImportError:  # before 3.13
        import _xxsubinterpreters
        interp = _xxsubinterpreters.create(isolated=config == "isolated")
        try:
            _xxsubinterpreters.run_string(interp, code)
        except _xxsubinterpreters.RunFailedError as error:
            # "ImportError: message", or "<class 'ImportError'>: message"
            return list(re.match(r"(?:<class ')?(\w+)(?:'>)?: (.*)", str(error), re.S).groups())
        finally:
            _xxsubinterpreters.destroy(interp)
        return None
    interp = _interpreters.create(config)
    try:
        # An exception in the subinterpreter comes back as a snapshot.
        failure = _interpreters.exec(interp, code)
    finally:
        _interpreters.destroy(interp)
    return None if failure is None else [failure.type.__name__, failure.msg]
'''
