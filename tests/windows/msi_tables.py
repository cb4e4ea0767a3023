"""Reads tables of a built MSI with msiinfo (msitools), for the package and
installer table tests."""

import shutil
import subprocess
import sys
import unittest


def available():
    return shutil.which("msiinfo") is not None


def run_tests(unittest_arguments):
    """Runs the calling script's tests, as ctest reads the outcome: 0 when
    they pass, 1 when one fails, 77 (skipped) without msiinfo."""
    if not available():
        print("SKIP: msiinfo (msitools) missing")
        return 77
    argv = [sys.argv[0]] + unittest_arguments
    result = unittest.main(module="__main__", argv=argv, exit=False).result
    return 0 if result.wasSuccessful() else 1


def table(msi, name):
    """The rows of table `name` as dicts by column name. msiinfo export
    writes the column names, their types, the table's name and key, then one
    tab-separated row per line."""
    out = subprocess.run(["msiinfo", "export", msi, name], check=True, capture_output=True,
                         text=True).stdout
    lines = out.split("\r\n") if "\r\n" in out else out.split("\n")
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def long_name(file_name):
    """A File table name without its short form ("SHORT~1.DLL|Long.dll")."""
    return file_name.split("|")[-1]
