# Sourced by scenarios.sh.

# An upgrade from the single package of 1.0.0 to brightness-tools and
# brightness, under systemd, with a level remembered and brightness-idle
# enabled and running; then a purge.
upgrade() {
new_scenario upgrade
$DPKG --purge brightness brightness-tools > /dev/null 2>&1
$DPKG -i /pkg/old/brightness_1.0.0_armhf.deb > "$W/dpkg-old.log" 2>&1
expect "dpkg -i installs the single package of 1.0.0" test $? = 0
display_start -k
udevadm settle -t 30
/usr/bin/brightness-ctl set 3 > "$W/set.out" 2>&1
expect "1.0.0 remembers a level" test $? = 0
remembered=$(/usr/bin/brightness-ctl get -m 2>&1)
systemctl enable --now brightness-idle.service > "$W/enable.out" 2>&1
idle_pid() { systemctl show -p MainPID --value brightness-idle.service; }
before=$(idle_pid)
expect "1.0.0's brightness-idle is enabled and running" \
    test "$(systemctl is-active brightness-idle.service)" = active -a "$before" -gt 0
wants=/etc/systemd/system/multi-user.target.wants/brightness-idle.service
expect "... through a link in multi-user.target.wants" test -L "$wants"

# As apt runs dpkg (apt install ./brightness-tools_*.deb ./brightness_*.deb):
# brightness-tools breaks the old brightness until that is upgraded too.
$DPKG --auto-deconfigure -i $PACKAGES > "$W/dpkg.log" 2>&1
expect "dpkg -i upgrades to brightness-tools and brightness" test $? = 0
sed "s/^/$scenario| /" "$W/dpkg.log"
expect "... both installed at the new version" test "$($DPKG-query -W -f '${db:Status-Status} ${Version} ' brightness brightness-tools)" \
    = "installed $(/usr/bin/dpkg-deb -f /pkg/brightness_*_armhf.deb Version) installed $(/usr/bin/dpkg-deb -f /pkg/brightness-tools_*_armhf.deb Version) "
expect "... brightness-ctl and the units now belong to brightness-tools" \
    test "$($DPKG -S /usr/bin/brightness-ctl /usr/lib/systemd/system/brightness-idle.service | cut -d: -f1 | tr '\n' ' ')" \
    = "brightness-tools brightness-tools "
expect "the remembered level is kept" test "$(/usr/bin/brightness-ctl get -m 2>&1)" = "$remembered"
expect "... in the record's directory as it was" test "$(stat -c '%A %U %G' /var/lib/brightness)" = "drwxrws--x root plugdev"
after=$(idle_pid)
expect "the enabled brightness-idle is still enabled" test "$(systemctl is-enabled brightness-idle.service)" = enabled
expect "... and was restarted on the new program" \
    test "$(systemctl is-active brightness-idle.service)" = active -a "$after" -gt 0 -a "$after" != "$before"
expect "... which is not a deleted file" test "$(readlink "/proc/$after/exe")" = /usr/bin/brightness-idle
expect "brightness-mqtt stays disabled and stopped" \
    test "$(systemctl is-enabled brightness-mqtt.service):$(systemctl is-active brightness-mqtt.service)" = disabled:inactive

$DPKG --purge brightness brightness-tools > "$W/purge.log" 2>&1
expect "dpkg --purge removes both packages" test $? = 0
sed "s/^/$scenario| /" "$W/purge.log"
expect "... stops brightness-idle" cannot pidof brightness-idle
expect "... and removes its link in multi-user.target.wants" test ! -L "$wants"
left=$(find /etc /usr /var -name "*brightness*" 2>/dev/null | grep -v '^/var/lib/dpkg/\(status\|available\)' | tr '\n' ' ')
expect "... and every file of them, the record's directory included" test -z "$left"
echo "NOTE upgrade: left after the purge: ${left:-nothing}"
display_stop
}
