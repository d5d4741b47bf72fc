#include "platform/linux/protected_surfaces.h"

namespace kex::platform::linux_desktop {

std::vector<std::string> protectedSurfaceNames() {
  return {
      // polkit authentication agents: they ask for the password that grants administration.
      "polkit-gnome-authentication-agent-1",
      "polkit-mate-authentication-agent-1",
      "polkit-kde-authentication-agent-1",
      "polkit-efl-authentication-agent-1",
      "lxpolkit",
      "lxqt-policykit-agent",
      "xfce-polkit",
      // Key ring and passphrase prompts.
      "gcr-prompter",
      "gcr4-ssh-askpass",
      "pinentry",
      "pinentry-gtk-2",
      "pinentry-gtk",
      "pinentry-gnome3",
      "pinentry-qt",
      "pinentry-qt5",
      "pinentry-x2go",
      "pinentry-fltk",
      "ssh-askpass",
      "ssh-askpass-gnome",
      "gnome-ssh-askpass",
      "x11-ssh-askpass",
      "ksshaskpass",
      "lxqt-openssh-askpass",
      // Screen lockers: their window stands between the session and whoever is at the machine.
      "xscreensaver",
      "xscreensaver-auth",
      "xsecurelock",
      "i3lock",
      "slock",
      "xlock",
      "light-locker",
      "gnome-screensaver",
      "mate-screensaver",
      "cinnamon-screensaver",
      "xfce4-screensaver",
      "kscreenlocker_greet",
      // Display manager greeters.
      "lightdm-gtk-greeter",
      "slick-greeter",
      "unity-greeter",
      "lightdm-webkit2-greeter",
      "sddm-greeter",
      "lxdm-greeter-gtk",
      // System settings, where permissions and accounts are changed.
      "gnome-control-center",
      "systemsettings",
      "systemsettings5",
      "mate-control-center",
      "xfce4-settings-manager",
      "unity-control-center",
      "lxqt-config",
      // The consent prompt of this system itself.
      "kex-confirm",
  };
}

}  // namespace kex::platform::linux_desktop
