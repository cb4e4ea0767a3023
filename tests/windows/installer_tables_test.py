#!/usr/bin/env python3
"""The MSI's package registration, read from its tables with msiinfo:

    installer_tables_test.py --msi Rawlift-x64.msi --package-file Rawlift.msix
                             --package-name Corvane.Rawlift

- the action that registers the package runs on installation and repair,
  never on removal; the one that removes it runs on removal (an
  uninstallation, or an upgrade removing this version), never otherwise:
  their conditions are evaluated here for each installer state;
- both are deferred, run as the installing user (impersonated) and carry
  the continue-on-error bit, so a failure never stops the installation;
- the registration comes after InstallFiles (and the registry), the removal
  after InstallInitialize and before RemoveFiles, the program's path set
  before either is scheduled;
- their command lines name the installed package, the installation folder
  as the external location, and the package's identity name.
Exit code 77 (skipped) without the MSI or msiinfo.
"""

import argparse
import os
import re
import sys
import unittest

# Run from the source tree: no bytecode caches left in it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import msi_tables  # noqa: E402

# CustomAction Type bits (msidbCustomActionType...).
BASE_TYPE = 0x3F  # the source and target kinds
EXE_BY_PROPERTY = 50  # an executable whose path a property holds
SET_PROPERTY = 51
CONTINUE = 0x40  # Return="ignore": the exit code is not checked
IN_SCRIPT = 0x400  # deferred
ROLLBACK, COMMIT = 0x100, 0x200
NO_IMPERSONATE = 0x800

ARGS = None


def evaluate(condition, properties):
    """An MSI condition over string properties: NOT, AND, OR, parentheses,
    PROPERTY (true when not empty), PROPERTY="text", PROPERTY~="text" (case
    insensitive), <> and ~<>. Empty conditions are true."""
    tokens = re.findall(r'"[^"]*"|~?<>|~?=|\(|\)|[A-Za-z_][A-Za-z0-9_.]*', condition)
    if "".join(tokens).replace(" ", "") != re.sub(r"\s", "", condition):
        raise ValueError(f"cannot read condition {condition!r}")
    at = 0

    def peek():
        return tokens[at] if at < len(tokens) else None

    def take():
        nonlocal at
        at += 1
        return tokens[at - 1]

    def value(token):
        return token[1:-1] if token.startswith('"') else properties.get(token, "")

    def primary():
        token = take()
        if token == "NOT":
            return not primary()
        if token == "(":
            result = disjunction()
            if take() != ")":
                raise ValueError(f"unbalanced {condition!r}")
            return result
        if peek() in ("=", "~=", "<>", "~<>"):
            op, right = take(), value(take())
            left = value(token)
            if op.startswith("~"):
                left, right = left.lower(), right.lower()
            return (left == right) if op.endswith("=") else (left != right)
        return value(token) != ""

    def conjunction():
        result = primary()
        while peek() == "AND":
            take()
            result = primary() and result
        return result

    def disjunction():
        result = conjunction()
        while peek() == "OR":
            take()
            result = conjunction() or result
        return result

    if not tokens:
        return True
    result = disjunction()
    if at != len(tokens):
        raise ValueError(f"trailing tokens in {condition!r}")
    return result


class Tables(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.actions = {a["Action"]: a for a in msi_tables.table(ARGS.msi, "CustomAction")}
        cls.sequence = {s["Action"]: s for s in msi_tables.table(ARGS.msi,
                                                                 "InstallExecuteSequence")}
        register = [a for a in cls.actions.values() if "Add-AppxPackage" in a["Target"]]
        remove = [a for a in cls.actions.values() if "Remove-AppxPackage" in a["Target"]]
        assert len(register) == 1 and len(remove) == 1, "one registration and one removal"
        cls.register, cls.remove = register[0]["Action"], remove[0]["Action"]

    def number(self, action):
        self.assertIn(action, self.sequence, f"{action} is not in InstallExecuteSequence")
        return int(self.sequence[action]["Sequence"])

    def test_each_action_runs_only_in_its_states(self):
        # (state, properties, registration runs, removal runs)
        states = [
            ("first installation", {}, True, False),
            ("repair", {"Installed": "00:00:00"}, True, False),
            ("uninstallation", {"Installed": "00:00:00", "REMOVE": "ALL"}, False, True),
            ("removal by an upgrade", {"Installed": "00:00:00", "REMOVE": "ALL",
                                       "UPGRADINGPRODUCTCODE": "{X}"}, False, True),
        ]
        for state, properties, registers, removes in states:
            with self.subTest(state=state):
                self.assertEqual(evaluate(self.sequence[self.register]["Condition"], properties),
                                 registers)
                self.assertEqual(evaluate(self.sequence[self.remove]["Condition"], properties),
                                 removes)

    def test_both_are_deferred_impersonated_and_never_fail_the_installation(self):
        for action in (self.register, self.remove):
            with self.subTest(action=action):
                kind = int(self.actions[action]["Type"])
                self.assertEqual(kind & BASE_TYPE, EXE_BY_PROPERTY)
                self.assertTrue(kind & CONTINUE, "a failure would stop the installation")
                self.assertTrue(kind & IN_SCRIPT, "not deferred: would run before the files")
                self.assertFalse(kind & (ROLLBACK | COMMIT), "rollback or commit only")
                self.assertFalse(kind & NO_IMPERSONATE, "would register for the system account")

    def test_order_against_the_files(self):
        # (action, after, before)
        cases = [
            (self.register, "InstallFiles", "InstallFinalize"),
            (self.register, "WriteRegistryValues", "InstallFinalize"),
            (self.remove, "InstallInitialize", "RemoveFiles"),
        ]
        for action, after, before in cases:
            with self.subTest(action=action, after=after, before=before):
                self.assertLess(self.number(after), self.number(action))
                self.assertLess(self.number(action), self.number(before))
        # The program's path is set (an immediate action) before either is
        # written into the script.
        for action in (self.register, self.remove):
            with self.subTest(program_of=action):
                source = self.actions[action]["Source"]
                setters = [a for a in self.actions.values()
                           if int(a["Type"]) & BASE_TYPE == SET_PROPERTY and a["Source"] == source]
                self.assertEqual(len(setters), 1, f"{source} set once")
                self.assertRegex(setters[0]["Target"],
                                 r"^\[System64Folder\]WindowsPowerShell\\v1\.0\\powershell\.exe$")
                self.assertEqual(self.sequence[setters[0]["Action"]]["Condition"], "")
                self.assertLess(self.number(setters[0]["Action"]), self.number(action))

    def test_command_lines_name_the_installed_package(self):
        files = {msi_tables.long_name(f["FileName"]) for f in msi_tables.table(ARGS.msi, "File")}
        self.assertIn(ARGS.package_file, files)
        register = self.actions[self.register]["Target"]
        self.assertIn(f"Add-AppxPackage -Path '[INSTALLDIR]{ARGS.package_file}' "
                      "-ExternalLocation '[INSTALLDIR]'", register)
        remove = self.actions[self.remove]["Target"]
        self.assertIn(f"Get-AppxPackage -Name {ARGS.package_name} | Remove-AppxPackage", remove)
        # The package's file is in the folder the location names.
        directory = [f["Directory_"] for f in msi_tables.table(ARGS.msi, "Component")
                     if f["Component"] in {r["Component_"] for r in
                                           msi_tables.table(ARGS.msi, "File")
                                           if msi_tables.long_name(r["FileName"])
                                           == ARGS.package_file}]
        self.assertEqual(directory, ["INSTALLDIR"])


class Conditions(unittest.TestCase):
    def test_evaluation(self):
        # Guards: an evaluator that says yes to everything.
        for condition, properties, expected in [
            ("", {}, True),
            ("NOT REMOVE", {}, True),
            ("NOT REMOVE", {"REMOVE": "ALL"}, False),
            ('REMOVE="ALL"', {"REMOVE": "ALL"}, True),
            ('REMOVE="ALL"', {"REMOVE": "Complete"}, False),
            ('REMOVE~="all"', {"REMOVE": "ALL"}, True),
            ("NOT Installed AND NOT REMOVE", {"Installed": "1"}, False),
            ("A OR B", {"B": "1"}, True),
            ('FOUND AND FOUND ~<> "{X}"', {"FOUND": "{x}"}, False),
            ("NOT (A OR B)", {"A": "1"}, False),
        ]:
            with self.subTest(condition=condition, properties=properties):
                self.assertEqual(evaluate(condition, properties), expected)


def main():
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument("--msi", required=True)
    p.add_argument("--package-file", required=True)
    p.add_argument("--package-name", required=True)
    ARGS, rest = p.parse_known_args()
    if not os.path.isfile(ARGS.msi):
        print(f"SKIP: no MSI {ARGS.msi}")
        return 77
    return msi_tables.run_tests(rest)


if __name__ == "__main__":
    sys.exit(main())
