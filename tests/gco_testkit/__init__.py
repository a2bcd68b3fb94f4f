"""What the tests, the corpus replay and the fuzz harness share: reference
models, hostile objects, the C-level entries through ctypes and the fuzz
targets.  Importable as gco_testkit with tests/ on the import path."""
