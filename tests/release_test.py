#!/usr/bin/env python3
"""The files that build and publish the project say what its documents say.

The forge's workflows run the commands the README and docs/development.md give
(a command changed in one place and not the other would test or ship something
no reader runs), and the version the download is named by is CHANGELOG.md's
newest heading.
    release_test.py
"""
import json
import os
import re
import sys
import unittest

import yaml

from run_cases import run_cases

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))


def read(*path):
    with open(os.path.join(ROOT, *path), encoding="utf-8") as f:
        return f.read()


def workflow(name):
    document = yaml.safe_load(read(".github", "workflows", name))
    # YAML 1.1 reads the key `on` as the boolean true.
    document["on"] = document.pop(True, document.get("on"))
    return document


def run_steps(job):
    return [step["run"].strip() for step in job["steps"] if "run" in step]


def code_lines(markdown, heading):
    """The indented command lines of one section of a Markdown page."""
    section = markdown.split(heading + "\n", 1)[1].split("\n#", 1)[0]
    return [line.strip() for line in section.splitlines() if line.startswith("    ")]


def commands_of_script(text):
    """What a shell script runs, but for comments, shell settings and cd."""
    return [line for line in (l.strip() for l in text.splitlines())
            if line and not line.startswith(("#", "set ", "cd "))]


class Workflows(unittest.TestCase):
    def test_ci_runs_the_readme_test_command_on_every_push_and_pull_request(self):
        ci = workflow("ci.yml")
        self.assertEqual(set(ci["on"]), {"push", "pull_request"})
        [job] = ci["jobs"].values()
        self.assertEqual(job["container"]["image"], "debian:12")
        self.assertEqual(run_steps(job), [".ci/run"])
        test_command = code_lines(read("README.md"), "## Two commands (fresh Debian machine)")[1]
        self.assertEqual(commands_of_script(read(".ci", "run")), test_command.split(" && "))

    def test_a_version_tag_builds_the_download_as_documented_and_attaches_it(self):
        release = workflow("release.yml")
        self.assertEqual(release["on"], {"push": {"tags": ["v*"]}})
        [job] = release["jobs"].values()
        self.assertEqual(job["container"], "debian:12")
        documented = code_lines(read("docs", "development.md"), "## Making the download")
        self.assertEqual(run_steps(job), documented[:1])
        self.assertIn("--preset windows-release", documented[0])
        [upload] = [step for step in job["steps"] if "action-gh-release" in step.get("uses", "")]
        presets = json.loads(read("CMakePresets.json"))
        [binary_dir] = [p["binaryDir"] for p in presets["configurePresets"]
                        if p["name"] == "windows-release"]
        zip_pattern = read("cmake", "packaging.cmake").split(
            "set(CPACK_PACKAGE_FILE_NAME ", 1)[1].split(")", 1)[0]
        self.assertEqual(upload["with"]["files"],
                         binary_dir.replace("${sourceDir}/", "") + "/"
                         + re.sub(r"\$\{\w+\}", "*", zip_pattern) + ".zip")
        self.assertTrue(upload["with"]["fail_on_unmatched_files"])


class Version(unittest.TestCase):
    def test_the_newest_changelog_heading_names_the_version_being_built(self):
        cmake = read("CMakeLists.txt")
        number = re.search(r"project\(Quillmar VERSION ([0-9.]+) ", cmake).group(1)
        suffix = re.search(r'set\(QUILLMAR_VERSION_SUFFIX "([^"]*)"\)', cmake).group(1)
        newest = re.search(r"^## \[([^\]]+)\]", read("CHANGELOG.md"), re.M).group(1)
        self.assertEqual(newest, number + suffix)


if __name__ == "__main__":
    sys.exit(run_cases(sys.argv))
