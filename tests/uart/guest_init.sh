#!/bin/busybox sh
# /init of the real-driver lane's guest: mounts what the checks need, loads
# the USB serial modules listed in /modules/order, runs the checks with the
# host on the console, reports their exit status and powers off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t tmpfs tmp /tmp
exec 0<>/dev/ttyS0 1>&0 2>&0
stty -echo
for module in $(cat /modules/order); do
  insmod "/modules/$module" || echo "guest: insmod $module failed"
done
export KTCOMM_COM2=/dev/ttyS1 KTCOMM_COM3=/dev/ttyUSB0 LD_LIBRARY_PATH=/opt/ktcomm
/ktcomm_uart_checks --uart-port 2 --usb-port 3 --host --scratch /tmp
echo "@@exit $?"
poweroff -f
