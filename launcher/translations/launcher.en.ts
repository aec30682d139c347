<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- The English texts of the launcher, by text id. The source is the reference wording for translators;
     a catalogue of another language copies this file and replaces the translations. %1, %2 stand for
     the values the launcher fills in and must stay in every translation. -->
<TS version="2.1" language="en">
<context>
    <name></name>
    <message id="launcher.mainwindow.about">
        <source>About</source>
        <translation>About</translation>
    </message>
    <message id="launcher.social.twitter">
        <source>Follow us on Twitter</source>
        <translation>Follow us on Twitter</translation>
    </message>
    <message id="launcher.social.discord">
        <source>Join us on Discord</source>
        <translation>Join us on Discord</translation>
    </message>
    <message id="launcher.about.title">
        <source>About Korvane Vedudi</source>
        <translation>About Korvane Vedudi</translation>
    </message>
    <message id="launcher.about.text">
        <source>Korvane Vedudi Launcher&lt;br&gt;Keeps your game installed and up to date.&lt;br&gt;&lt;br&gt;Made by Dulmark: &lt;a href=&quot;%1&quot;&gt;%1&lt;/a&gt;&lt;br&gt;Privacy policy: &lt;a href=&quot;%2&quot;&gt;%2&lt;/a&gt;</source>
        <translation>Korvane Vedudi Launcher&lt;br&gt;Keeps your game installed and up to date.&lt;br&gt;&lt;br&gt;Made by Dulmark: &lt;a href=&quot;%1&quot;&gt;%1&lt;/a&gt;&lt;br&gt;Privacy policy: &lt;a href=&quot;%2&quot;&gt;%2&lt;/a&gt;</translation>
    </message>
    <message id="launcher.hints.title">
        <source>News</source>
        <translation>News</translation>
    </message>
    <message id="launcher.status.error">
        <source>Game status unknown. Restart the launcher to try again.</source>
        <translation>Game status unknown. Restart the launcher to try again.</translation>
    </message>
    <message id="launcher.status.click_to_download">
        <source>Click to Download</source>
        <translation>Click to Download</translation>
    </message>
    <message id="launcher.status.update_available">
        <source>Update Available</source>
        <translation>Update Available</translation>
    </message>
    <message id="launcher.status.ready_to_play">
        <source>Ready to Play</source>
        <translation>Ready to Play</translation>
    </message>
    <message id="launcher.action.verify">
        <source>Verify Files</source>
        <translation>Verify Files</translation>
    </message>
    <message id="launcher.action.uninstall">
        <source>Uninstall</source>
        <translation>Uninstall</translation>
    </message>
    <message id="launcher.settings.auto_launch">
        <source>Launch When Ready</source>
        <translation>Launch When Ready</translation>
    </message>
    <message id="launcher.progress.scanning">
        <source>Checking</source>
        <translation>Checking</translation>
    </message>
    <message id="launcher.progress.writing">
        <source>Installing</source>
        <translation>Installing</translation>
    </message>
    <message id="launcher.progress.verifying">
        <source>Verifying</source>
        <translation>Verifying</translation>
    </message>
    <message id="launcher.maintenance.estimated_end">
        <source>Back in %1</source>
        <translation>Back in %1</translation>
    </message>
    <message id="launcher.uninstall.confirm_text">
        <source>Uninstall %1? Its files will be removed from this computer.</source>
        <translation>Uninstall %1? Its files will be removed from this computer.</translation>
    </message>
    <message id="launcher.uninstall.yes">
        <source>Uninstall</source>
        <translation>Uninstall</translation>
    </message>
    <message id="launcher.uninstall.no">
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message id="launcher.error.maintenance_title">
        <source>Maintenance</source>
        <translation>Maintenance</translation>
    </message>
    <message id="launcher.error.maintenance_text">
        <source>Maintenance in progress. Please try again later.</source>
        <translation>Maintenance in progress. Please try again later.</translation>
    </message>
    <message id="launcher.error.connection_title">
        <source>No Connection</source>
        <translation>No Connection</translation>
    </message>
    <message id="launcher.error.connection_text">
        <source>The launcher could not reach the game servers. Check your internet connection and start the launcher again.</source>
        <translation>The launcher could not reach the game servers. Check your internet connection and start the launcher again.</translation>
    </message>
    <message id="launcher.error.download_title">
        <source>Download Failed</source>
        <translation>Download Failed</translation>
    </message>
    <message id="launcher.error.download_text">
        <source>%1 could not be downloaded. Check your internet connection and try again.</source>
        <translation>%1 could not be downloaded. Check your internet connection and try again.</translation>
    </message>
    <message id="launcher.error.install_title">
        <source>Installation Failed</source>
        <translation>Installation Failed</translation>
    </message>
    <message id="launcher.error.disk_space_text">
        <source>%1 could not be saved to disk. Make sure there is enough free space and try again.</source>
        <translation>%1 could not be saved to disk. Make sure there is enough free space and try again.</translation>
    </message>
    <message id="launcher.error.verification_text">
        <source>Some files of %1 could not be verified. Please try again.</source>
        <translation>Some files of %1 could not be verified. Please try again.</translation>
    </message>
    <message id="launcher.error.patching_title">
        <source>Nothing to Update</source>
        <translation>Nothing to Update</translation>
    </message>
    <message id="launcher.error.patching_text">
        <source>The game to update was not found. Choose your game in the launcher to install or update it.</source>
        <translation>The game to update was not found. Choose your game in the launcher to install or update it.</translation>
    </message>
    <message id="launcher.error.critical_title">
        <source>Launcher Error</source>
        <translation>Launcher Error</translation>
    </message>
    <message id="launcher.error.disk_access_failed">
        <source>The launcher could not access its files: %1. Make sure the disk has free space and can be written to, then start the launcher again.</source>
        <translation>The launcher could not access its files: %1. Make sure the disk has free space and can be written to, then start the launcher again.</translation>
    </message>
</context>
</TS>
