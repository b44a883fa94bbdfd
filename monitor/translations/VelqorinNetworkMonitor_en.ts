<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="fr_FR">
<context>
    <name>BoxRows</name>
    <message>
        <source>Adresse également utilisée par le boîtier %1</source>
        <translation>Address also used by box %1</translation>
    </message>
    <message>
        <source>Adresse également utilisée par les boîtiers %1</source>
        <translation>Address also used by boxes %1</translation>
    </message>
    <message>
        <source>Adresse de cette station de travail</source>
        <translation>Address of this workstation</translation>
    </message>
    <message>
        <source>Adresse hors des sous-réseaux de l&apos;interface %1 : la station de travail ne peut pas joindre ce boîtier</source>
        <translation>Address outside the subnets of interface %1: the workstation cannot reach this box</translation>
    </message>
    <message>
        <source>Boîtier trouvé sur %1</source>
        <translation>Box found on %1</translation>
    </message>
    <message>
        <source>Numéro de série annoncé aussi par %1 : deux boîtiers le partagent, ou un autre poste répond en son nom</source>
        <translation>Serial number also announced by %1: two boxes share it, or another station answers in its name</translation>
    </message>
</context>
<context>
    <name>Messages</name>
    <message>
        <source>Erreur</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>&amp;Abandon</source>
        <translation>&amp;Abort</translation>
    </message>
    <message>
        <source>Avertissement</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>&amp;Oui</source>
        <translation>&amp;Yes</translation>
    </message>
    <message>
        <source>&amp;Non</source>
        <translation>&amp;No</translation>
    </message>
</context>
<context>
    <name>Progress</name>
    <message>
        <source>Interrogation de %1 (%2 sur %3)...</source>
        <translation>Asking %1 (%2 of %3)...</translation>
    </message>
    <message>
        <source>Écoute de %1 (%2 sur %3)</source>
        <translation>Listening on %1 (%2 of %3)</translation>
    </message>
    <message>
        <source>Écoute de %1</source>
        <translation>Listening on %1</translation>
    </message>
    <message>
        <source>Liaison %1 (%2 sur %3)</source>
        <translation>Dial-up link %1 (%2 of %3)</translation>
    </message>
</context>
<context>
    <name>TConfigureForm</name>
    <message>
        <source>Configuration</source>
        <translation>Configuration</translation>
    </message>
    <message>
        <source> Paramètres Réseaux Actuels du Boîtier Velqorin </source>
        <translation> Current Network Settings of the Velqorin Box </translation>
    </message>
    <message>
        <source> Adresse réseau actuelle </source>
        <translation> Current network address </translation>
    </message>
    <message>
        <source>Adresse IP</source>
        <translation>IP address</translation>
    </message>
    <message>
        <source>Masque</source>
        <translation>Mask</translation>
    </message>
    <message>
        <source>illisible</source>
        <translation>unreadable</translation>
    </message>
    <message>
        <source> Paramètres Réseaux Actuels de la Station de Travail </source>
        <translation> Current Network Settings of the Workstation </translation>
    </message>
    <message>
        <source>Adresse IP otenue par DHCP</source>
        <translation>IP address obtained by DHCP</translation>
    </message>
    <message>
        <source> Adresses IP Actuelles</source>
        <translation> Current IP Addresses</translation>
    </message>
    <message>
        <source>Adresses IP</source>
        <translation>IP addresses</translation>
    </message>
    <message>
        <source>Masques</source>
        <translation>Masks</translation>
    </message>
    <message>
        <source> Nouveaux Paramètres du Boîtier Velqorin </source>
        <translation> New Settings of the Velqorin Box </translation>
    </message>
    <message>
        <source>Obtenir l&apos;adresse IP par DHCP</source>
        <translation>Obtain the IP address by DHCP</translation>
    </message>
    <message>
        <source>Apparaître dans le voisinage réseau de Windows</source>
        <translation>Appear in the Windows network neighbourhood</translation>
    </message>
    <message>
        <source>Nécessite un redémarrage du boîtier en cas de changement</source>
        <translation>A change needs a restart of the box</translation>
    </message>
    <message>
        <source>Les paramètres du boîtier Velqorin sont compatibles avec votre configuration réseau</source>
        <translation>The settings of the Velqorin box are compatible with your network configuration</translation>
    </message>
    <message>
        <source> Paramètres Réseaux Manuels </source>
        <translation> Manual Network Settings </translation>
    </message>
    <message>
        <source>Redémarrer le boîtier</source>
        <translation>Restart the box</translation>
    </message>
    <message>
        <source> Mot de Passe Administrateur </source>
        <translation> Administrator Password </translation>
    </message>
    <message>
        <source>Vous devez entrer le mot de passe administrateur pout que les changements soient pris en compte</source>
        <translation>You must enter the administrator password for the changes to be applied</translation>
    </message>
    <message>
        <source>&amp;OK</source>
        <translation>&amp;OK</translation>
    </message>
    <message>
        <source>&amp;Annuler</source>
        <translation>&amp;Cancel</translation>
    </message>
    <message>
        <source>Adresse IP obtenue depuis un serveur DHCP
Configuré pour obtenir une adresse par DHCP mais serveur non trouvé
Configuré pour utiliser une adresse IP fixe
. Voulez-vous continuer ?
L&apos;adresse IP que vous avez choisie semble déjà être utilisée. Voulez-vous continuer ?
Le mot de passe a été refusé ou la session a expiré
Une erreur s&apos;est produite sur le réseau
L&apos;adresse IP manuelle du boîtier Velqorin doit être différente de celle de la station de travail et de tout autre appareil relié au réseau
Les paramètres du boîtier Velqorin sont compatibles avec votre configuration réseau
Les paramètres réseaux manuels du boîtier Velqorin sont compatibles avec votre configuration réseau mais vous devriez activer le mode DHCP
Les paramètres réseaux manuels du boîtier Velqorin sont compatibles avec votre configuration réseau mais vous devriez désactiver le mode DHCP
Les paramètres réseaux manuels du boîtier Velqorin ne sont pas compatibles avec votre configuration réseau
Mode DHCP activé
Mode DHCP désactivé
Apparaît dans le voisinage réseau de Windows
N&apos;apparaît pas dans le voisinage réseau de Windows</source>
        <translation>IP address obtained from a DHCP server
Set to obtain an address by DHCP but no server was found
Set to use a fixed IP address
. Do you want to go on?
The IP address you chose seems to be in use already. Do you want to go on?
The password was refused or the session has expired
An error occurred on the network
The manual IP address of the Velqorin box must differ from that of the workstation and of any other device on the network
The settings of the Velqorin box are compatible with your network configuration
The manual network settings of the Velqorin box are compatible with your network configuration but you should turn DHCP mode on
The manual network settings of the Velqorin box are compatible with your network configuration but you should turn DHCP mode off
The manual network settings of the Velqorin box are not compatible with your network configuration
DHCP mode on
DHCP mode off
Appears in the Windows network neighbourhood
Does not appear in the Windows network neighbourhood</translation>
    </message>
    <message>
        <source>Test de l&apos;adresse %1...</source>
        <translation>Testing the address %1...</translation>
    </message>
    <message>
        <source>Attente de la réponse du boîtier...</source>
        <translation>Waiting for the box to answer...</translation>
    </message>
</context>
<context>
    <name>TDebloqueForm</name>
    <message>
        <source>Debloquage du Mot de Passe Administrateur</source>
        <translation>Unlocking the Administrator Password</translation>
    </message>
    <message>
        <source>Numéro de série du boîtier</source>
        <translation>Serial number of the box</translation>
    </message>
    <message>
        <source>Clé de dépannage</source>
        <translation>Support code</translation>
    </message>
    <message>
        <source> Code de débloquage </source>
        <translation> Unlock code </translation>
    </message>
    <message>
        <source>&amp;OK</source>
        <translation>&amp;OK</translation>
    </message>
    <message>
        <source>&amp;Annuler</source>
        <translation>&amp;Cancel</translation>
    </message>
    <message>
        <source>Le code de débloquage a été refusé
Une erreur s&apos;est produite sur le réseau</source>
        <translation>The unlock code was refused
An error occurred on the network</translation>
    </message>
    <message>
        <source>Attente de la réponse du boîtier...</source>
        <translation>Waiting for the box to answer...</translation>
    </message>
</context>
<context>
    <name>TMainForm</name>
    <message>
        <source>Velqorin Network Monitor</source>
        <translation>Velqorin Network Monitor</translation>
    </message>
    <message>
        <source>Infos réseaux</source>
        <translation>Network info</translation>
    </message>
    <message>
        <source>N° de série</source>
        <translation>Serial no.</translation>
    </message>
    <message>
        <source>Adresse MAC</source>
        <translation>MAC address</translation>
    </message>
    <message>
        <source>DHCP</source>
        <translation>DHCP</translation>
    </message>
    <message>
        <source>Adresse IP</source>
        <translation>IP address</translation>
    </message>
    <message>
        <source>Masque de sous-réseau</source>
        <translation>Subnet mask</translation>
    </message>
    <message>
        <source>Voisinage réseau</source>
        <translation>Neighbourhood</translation>
    </message>
    <message>
        <source>Connexion</source>
        <translation>Connection</translation>
    </message>
    <message>
        <source>Version</source>
        <translation>Version</translation>
    </message>
    <message>
        <source>Détecte les Velqorin sur port série : connexion directe ou gsm (nécessite plus de ressources)</source>
        <translation>Detect the Velqorin boxes on serial ports: direct or GSM connection (needs more resources)</translation>
    </message>
    <message>
        <source>Infos synchronisation</source>
        <translation>Synchronisation info</translation>
    </message>
    <message>
        <source>Mode</source>
        <translation>Mode</translation>
    </message>
    <message>
        <source>Maître</source>
        <translation>Master</translation>
    </message>
    <message>
        <source>Etage</source>
        <translation>Floor</translation>
    </message>
    <message>
        <source>Dernière synchro</source>
        <translation>Last sync</translation>
    </message>
    <message>
        <source> Configuration boîtier </source>
        <translation> Box configuration </translation>
    </message>
    <message>
        <source>Mot de passe administrateur</source>
        <translation>Administrator password</translation>
    </message>
    <message>
        <source>Mode maître</source>
        <translation>Master mode</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>Ok</translation>
    </message>
    <message>
        <source>Synchroniser</source>
        <translation>Synchronise</translation>
    </message>
    <message>
        <source>Ouvrir</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>Configurer</source>
        <translation>Configure</translation>
    </message>
    <message>
        <source>Rafraîchir</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>Quitter</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>Oui
Auto IP
RARP
Non
Oui
Non
La capture réseau brute est impossible : le programme velqorin-link-helper, qui envoie et reçoit les trames des boîtiers, manque, ne peut être lancé ou n&apos;a pas le droit CAP_NET_RAW. Lancez le programme en tant que root, ou réinstallez l&apos;application si le problème persiste
Seuls les membres du groupe velqorin peuvent rechercher et configurer les boîtiers : ajoutez-vous-y avec « sudo adduser %1 velqorin », puis reconnectez-vous.



Réseau
USB
Série
Rafraichissement en cours...
Le maître de ce boîtier n&apos;est pas dans le bon mode ou n&apos;a pas été trouvé...
Ce boîtier sert de maître...
Pas de maître disponible...
Mot de passe incorrect...
Erreur...</source>
        <translation>Yes
Auto IP
RARP
No
Yes
No
Raw network capture is not possible: the program velqorin-link-helper, which sends and receives the boxes' frames, is missing, cannot be started or lacks the right CAP_NET_RAW. Run the program as root, or reinstall the application if the problem persists
Only members of the group velqorin may find and set up boxes: join it with &quot;sudo adduser %1 velqorin&quot;, then log in again.



Network
USB
Serial
Refreshing...
The master of this box is not in the right mode or was not found...
This box is a master...
No master available...
Wrong password...
Error...</translation>
    </message>
    <message>
        <source>&amp;Ouvrir</source>
        <translation>&amp;Open</translation>
    </message>
    <message>
        <source>&amp;Configurer</source>
        <translation>&amp;Configure</translation>
    </message>
    <message>
        <source>&amp;Rafraîchir</source>
        <translation>&amp;Refresh</translation>
    </message>
    <message>
        <source>&amp;Quitter</source>
        <translation>&amp;Quit</translation>
    </message>
    <message>
        <source>&apos;%1&apos; n&apos;est pas une valeur entière correcte</source>
        <translation>&apos;%1&apos; is not a valid integer value</translation>
    </message>
    <message>
        <source>Attente de la réponse du boîtier %1...</source>
        <translation>Waiting for box %1 to answer...</translation>
    </message>
    <message>
        <source>%1 réponses ignorées au-delà de %2 boîtiers</source>
        <translation>%1 replies dropped beyond %2 boxes</translation>
    </message>
</context>
</TS>
