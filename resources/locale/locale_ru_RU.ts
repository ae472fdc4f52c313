<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU">
<context>
    <name>MainWindow</name>
    <message>
        <source>Cannot start the game: %1 not found (install Wine or set EMBERCREST_WINE)</source>
        <translation>Не удалось запустить игру: %1 не найден (установите Wine или укажите EMBERCREST_WINE)</translation>
    </message>
    <message>
        <source>Client not found!</source>
        <translation>Клиент не найден!</translation>
    </message>
    <message>
        <source>Developed by Embercrest
© 2026 Embercrest servers</source>
        <translation>Разработано Embercrest
© 2026 Серверы Embercrest</translation>
    </message>
    <message>
        <source>Update server unavailable</source>
        <translation>Сервер обновлений недоступен</translation>
    </message>
    <message>
        <source>Update refused: please update the launcher</source>
        <translation>Обновление отклонено: обновите лаунчер</translation>
    </message>
    <message>
        <source>Download failed!</source>
        <translation>Ошибка загрузки!</translation>
    </message>
    <message>
        <source>Download finished!</source>
        <translation>Загрузка звершена!</translation>
    </message>
    <message>
        <source>For normal launcher, specify the path to the game&apos;s clients:</source>
        <translation>Для нармальной работы лаунчера, укажите путь к клиентам игры:</translation>
    </message>
    <message>
        <source>GAME SERVERS</source>
        <translation>Комплекс серверов</translation>
    </message>
    <message>
        <source>Minimize on start game</source>
        <translation>Сворачивать при запуске</translation>
    </message>
    <message>
        <source>EMBERCREST</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Embercrest Launcher</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Embercrest Launcher 0.0.1.6b Zudevudera</source>
        <translation>Embercrest Launcher 0.0.1.6b Zudevudera</translation>
    </message>
    <message>
        <source>Play</source>
        <translation>Играть</translation>
    </message>
    <message>
        <source>Preparing to update...</source>
        <translation>Подготовка к обновлению...</translation>
    </message>
    <message>
        <source>Save</source>
        <translation>Сохранить</translation>
    </message>
    <message>
        <source>Select File</source>
        <translation>Выберите файл</translation>
    </message>
    <message>
        <source>Select...</source>
        <translation>Выбрать...</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>Настройки</translation>
    </message>
    <message>
        <source>Updates checked!</source>
        <translation>У вас актуальная версия.</translation>
    </message>
    <message>
        <source>World Of Wacraft 3.3.5</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>World Of Wacraft 7.3.5</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>X</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>_</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
