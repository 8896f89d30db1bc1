#!/usr/bin/env python3
# Stands in for the association setter in tests: records how it was started and which wishes it found in
# the registry store, then leaves the wished list as the test's "setter.action" file beside it says:
#   keep            leave the list as it is (every wish taken)
#   drop:.EXT,...   take all wishes but these
#   clear           take none
import os
import sys

here = os.path.dirname(os.path.abspath(sys.argv[0]))
config = os.environ.get("XDG_CONFIG_HOME") or os.path.expanduser("~/.config")
hive = os.path.join(config, "registry", "HKEY_CURRENT_USER.reg")
prefs = "[hkey_current_user\\software\\korvanta\\strevio\\preferences]"
wished = prefs[:-1] + "\\associatedfiletypes]"

lines = open(hive, encoding="utf-8").read().split("\n") if os.path.exists(hive) else []
wishes, check_for_updates, section = [], "none", ""
for line in lines:
    if line.startswith("["):
        section = line.lower()
    elif section == wished and line.startswith('"'):
        wishes.append(line.split('"')[1])
    elif section == prefs and line.lower().startswith('"checkforupdates"='):
        check_for_updates = line.split(":")[-1]

with open(os.path.join(here, "setter.log"), "a", encoding="utf-8") as log:
    log.write("args=%s\n" % " ".join(sys.argv[1:]))
    log.write("cwd=%s\n" % os.getcwd())
    log.write("wishes=%s\n" % ",".join(wishes))
    log.write("checkforupdates=%s\n" % check_for_updates)

action_file = os.path.join(here, "setter.action")
action = open(action_file).read().strip() if os.path.exists(action_file) else "keep"
if action == "keep":
    sys.exit(0)
dropped = set(w.upper() for w in wishes) if action == "clear" else set(
    e.upper() for e in action[len("drop:"):].split(","))
out, section = [], ""
for line in lines:
    if line.startswith("["):
        section = line.lower()
    elif section == wished and line.startswith('"') and line.split('"')[1].upper() in dropped:
        continue
    out.append(line)
tmp = hive + ".setter"
with open(tmp, "w", encoding="utf-8") as f:
    f.write("\n".join(out))
os.replace(tmp, hive)
