#!/usr/bin/env python3
"""Writes the WiX source of the Windows Installer package of one word size
from the distribution folder, for wixl (msitools):

    make_wxs.py --arch x64|x86 --version 1.0.0 --source DIST -o kt40.wxs --sql kt40.sql
    wixl -a x64 kt40.wxs -o kt40.msi        (in the folder of kt40.wxs)
    msibuild kt40.msi -q QUERY ...           (each line of kt40.sql)

Every file of DIST goes under Program Files\\KT40 CAMAC with its folders; the
folder goes on the installing user's PATH (kt40.exe) and is recorded in the
registry (HKLM\\SOFTWARE\\KT40\\CAMAC, InstallDir; the Python package reads
it). With tervan.exe in DIST (x64), a Start-menu entry starts it; with
driver\\kt40drv.inf, the package offers the driver to the device installer
(pnputil /add-driver ... /install) after copying the files, and goes on if
that is refused (see queries()).

Each word size has its own fixed upgrade code, and the product code is new
with every build, so that a newer version replaces an older one (a major
upgrade) and an older one does not install over a newer. A file's component
code follows from the word size and its path alone, the same in every
version.
"""
import argparse
import os
import re
import sys
import uuid
from xml.sax.saxutils import quoteattr

UPGRADE_CODES = {
    "x64": "F3636409-3021-414A-A160-188D69038FB0",
    "x86": "0156A022-DE9D-4612-9C9F-D3BB4AA9FC43",
}
# Component codes: uuid5 of this namespace and "arch/path".
NAMESPACE = uuid.UUID("815c1b24-225d-40c7-a291-526e3e09c508")
PRODUCT = "KT40 CAMAC"
MANUFACTURER = "KT40"
REGISTRY_KEY = r"SOFTWARE\KT40\CAMAC"


def guid(arch, path):
    return str(uuid.uuid5(NAMESPACE, arch + "/" + path)).upper()


def ident(prefix, path):
    """An identifier for MSI tables: letters, digits, _ and ., at most 72."""
    text = re.sub(r"[^A-Za-z0-9_.]", "_", path)
    if len(text) > 60:
        text = text[:40] + "_" + uuid.uuid5(NAMESPACE, path).hex[:12]
    return prefix + text


def tree(source):
    """{folder relative path: [file names]} with '' the top, sorted."""
    folders = {}
    for root, dirs, files in os.walk(source):
        dirs.sort()
        rel = os.path.relpath(root, source)
        rel = "" if rel == "." else rel.replace(os.sep, "/")
        folders[rel] = sorted(files)
    return folders


def parent(rel):
    return rel.rsplit("/", 1)[0] if "/" in rel else ""


def wxs(arch, version, source, folder):
    """The WiX source; `folder` is read, `source` is the same folder as the
    File elements name it (wixl takes paths relative to the source's folder)."""
    win64 = arch == "x64"
    w64 = ' Win64="yes"' if win64 else ""
    folders = tree(folder)
    lines = []
    out = lines.append
    out('<?xml version="1.0" encoding="utf-8"?>')
    out('<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">')
    out('  <Product Id="*" Name=%s Language="1033" Version=%s Manufacturer=%s UpgradeCode=%s>' % (
        quoteattr("%s (%s)" % (PRODUCT, "64-bit" if win64 else "32-bit")), quoteattr(version),
        quoteattr(MANUFACTURER), quoteattr(UPGRADE_CODES[arch])))
    out('    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"')
    out('             Description=%s Comments="The ESONE routines, the command line kt40 and the front panel for KT40 CAMAC adapters"/>'
        % quoteattr("%s %s" % (PRODUCT, version)))
    out('    <MajorUpgrade DowngradeErrorMessage="A newer version of %s is already installed."/>' % PRODUCT)
    out('    <Media Id="1" Cabinet="kt40.cab" EmbedCab="yes"/>')
    out('    <Property Id="ARPNOMODIFY" Value="1"/>')
    out('    <Directory Id="TARGETDIR" Name="SourceDir">')
    out('      <Directory Id="%s">' % ("ProgramFiles64Folder" if win64 else "ProgramFilesFolder"))
    out('        <Directory Id="INSTALLDIR" Name=%s>' % quoteattr(PRODUCT))
    components = []

    def emit_folder(rel, depth):
        pad = "  " * depth
        for name in folders[rel]:
            path = rel + "/" + name if rel else name
            cid = ident("c_", path)
            components.append(cid)
            out('%s<Component Id="%s" Guid="%s"%s>' % (pad, cid, guid(arch, path), w64))
            out('%s  <File Id="%s" Name=%s Source=%s KeyPath="yes"/>' % (
                pad, ident("f_", path), quoteattr(name), quoteattr(source + "/" + path)))
            out('%s</Component>' % pad)
        for sub in sorted(f for f in folders if f and parent(f) == rel):
            out('%s<Directory Id="%s" Name=%s>' % (pad, ident("d_", sub), quoteattr(sub.rsplit("/", 1)[-1])))
            emit_folder(sub, depth + 1)
            out('%s</Directory>' % pad)

    emit_folder("", 5)
    # The folder in the registry, and on the PATH (the Environment row of
    # this component: queries()).
    components.append("c_environment")
    out('          <Component Id="c_environment" Guid="%s"%s>' % (guid(arch, ":environment"), w64))
    out('            <RegistryValue Root="HKLM" Key="%s" Name="InstallDir" Type="string" Value="[INSTALLDIR]" KeyPath="yes"/>' % REGISTRY_KEY)
    out('          </Component>')
    out('        </Directory>')
    out('      </Directory>')
    panel = "tervan.exe" in folders[""]
    if panel:
        out('      <Directory Id="ProgramMenuFolder">')
        out('        <Directory Id="d_menu" Name=%s>' % quoteattr(PRODUCT))
        components.append("c_menu")
        out('          <Component Id="c_menu" Guid="%s"%s>' % (guid(arch, ":menu"), w64))
        out('            <Shortcut Id="s_panel" Name="Tervan KT40" Description="The front panel of the KT40 crate controller"')
        out('                      Target="[INSTALLDIR]tervan.exe" WorkingDirectory="INSTALLDIR"/>')
        out('            <RemoveFolder Id="r_menu" On="uninstall"/>')
        out('            <RegistryValue Root="HKCU" Key="%s" Name="StartMenu" Type="integer" Value="1" KeyPath="yes"/>' % REGISTRY_KEY)
        out('          </Component>')
        out('        </Directory>')
        out('      </Directory>')
    out('    </Directory>')
    out('    <Feature Id="Complete" Title=%s Level="1">' % quoteattr(PRODUCT))
    for cid in components:
        out('      <ComponentRef Id="%s"/>' % cid)
    out('    </Feature>')
    out('  </Product>')
    out('</Wix>')
    return "\n".join(lines) + "\n"


def queries(arch, source):
    """SQL for what wixl 0.101 cannot express, run on its package with
    msibuild -q: the folder appended to the user's PATH on install and taken
    out again on uninstall (Environment table, name "=-PATH": set, removed
    with the product; value "[~];dir": appended), and the driver package
    offered to the device installer after the files are in place (a deferred
    custom action, type 34 + 64 + 1024 + 2048: a program in a folder, return
    code ignored, run in the system's context). A refusal (an unsigned
    package, a Windows whose pnputil has no /add-driver, no pnputil at all)
    does not stop the installation: the README gives the step by hand."""
    sql = [
        "CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, "
        "`Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)",
        "INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) "
        "VALUES ('e_path', '=-PATH', '[~];[INSTALLDIR]', 'c_environment')",
        "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveEnvironmentStrings', 3300)",
        "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteEnvironmentStrings', 5200)",
    ]
    folders = tree(source)
    if arch == "x64" and "kt40drv.inf" in folders.get("driver", []):
        driver = ident("d_", "driver")
        sql += [
            "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('AddDriver', 3170, '%s', "
            "'\"[System64Folder]pnputil.exe\" /add-driver \"[%s]kt40drv.inf\" /install')" % (driver, driver),
            "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('AddDriver', 'NOT REMOVE', 5300)",
        ]
    return sql


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--arch", required=True, choices=sorted(UPGRADE_CODES))
    ap.add_argument("--version", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("-o", "--output", required=True, help="the WiX source; Source paths relative to its folder")
    ap.add_argument("--sql", required=True, help="receives the queries for msibuild -q, one a line")
    args = ap.parse_args(argv)
    if not re.fullmatch(r"\d+\.\d+\.\d+", args.version):
        ap.error("--version must be MAJOR.MINOR.BUILD")
    source = os.path.relpath(args.source, os.path.dirname(os.path.abspath(args.output)))
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(wxs(args.arch, args.version, source, args.source))
    with open(args.sql, "w", encoding="utf-8") as f:
        f.write("\n".join(queries(args.arch, args.source)) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
